#include "tests/model/LoadingSupport.hxx"

namespace Quillomark::Testing::Model {

Base::Property property(const std::string& name, std::vector<std::string> values,
                        const std::string& display) {
    Base::Property p;
    p.setName(name);
    p.setUiValue(display);
    for (const std::string& v : values) {
        Base::PropertyValue value;
        value.setValue(v);
        p.addValue(value);
    }
    return p;
}

Base::ModelObject object(const std::string& uid, const std::string& typeName,
                         std::vector<Base::Property> properties) {
    Base::ModelObject o;
    o.setUid(uid);
    o.setType(typeName);
    for (const Base::Property& p : properties) o.addPropertie(p);
    return o;
}

Base::ModelType type(const std::string& name, const std::string& parent,
                     std::vector<Descriptor> descriptors) {
    Base::ModelType t;
    t.setName(name);
    t.setUid("TYPE::" + name);
    t.setParentTypeName(parent);
    for (const Descriptor& d : descriptors) {
        Base::PropDescriptor descriptor;
        descriptor.setName(d.name);
        descriptor.setType(d.serverType);
        descriptor.setAnArray(d.isArray);
        descriptor.setModifiable(true);
        t.addPropDescriptor(descriptor);
    }
    return t;
}

Base::ModelSchema schema(std::vector<Base::ModelType> types) {
    Base::ModelSchema s;
    for (const Base::ModelType& t : types) s.addType(t);
    return s;
}

Base::RefId ref(const std::string& uid) {
    Base::RefId r;
    r.setUid(uid);
    return r;
}

}  // namespace Quillomark::Testing::Model
