#pragma once

#include <soa/client/PropertyDescriptionImpl.hxx>
#include <soa/client/Type.hxx>
#include <soa/common/Export.hxx>

#include <atomic>
#include <cstdint>
#include <map>
#include <string>

namespace Quillomark::Soa::Client {

class ModelManagerImpl;
class ModelObjectFactory;

// A type of the model schema, or a placeholder (UID "UNKNOWN_TYPE_UID") for a
// type name whose description has not been loaded. It owns its property
// descriptions, never its parent.
class QMSOA_API TypeImpl : public Type {
public:
    TypeImpl(const std::string& uid, const std::string& name);
    TypeImpl(const TypeImpl&) = delete;
    TypeImpl& operator=(const TypeImpl&) = delete;
    ~TypeImpl() override;

    Type* getParent() const override;
    const std::string& getName() const override;
    // The pointer stays valid as long as the type lives.
    PropertyDescription* getPropertyDescription(const std::string& name) const override;
    const std::string& getUid() const override;

    // Keeps a copy; the first description of a name stays, later ones are dropped.
    void addPropertyDescription(const PropertyDescription& description);
    // Throws RuntimeException (GENERAL_ERROR), changing nothing, when this
    // type is one of a model manager's and `parent` or one of its ancestors.
    void setParent(Type* parent);

private:
    friend class ModelManagerImpl;

    // What a type of a model manager marks in its chain.
    enum Mark : unsigned char { FACTORY = 1, WAITING = 2 };

    // The types of one model manager keep their chains as paths of splay
    // trees, so that a link, a cut, whether a type descends from another,
    // and the nearest type of a chain that has a factory or waits for its
    // parent cost log time in the types amortised, at any depth. Types of
    // different managers, and types of none, are linked by their parent
    // alone, and are only read through it: another manager's types may be
    // in use on another thread. The manager destroys its types all at once:
    // no type touches another as it goes.
    //
    // Makes the type one of `manager`'s, with the factory registered under
    // its name (null for none); before it has a parent or a child.
    void adopt(const ModelManagerImpl* manager, ModelObjectFactory* own);
    // Makes `newParent` (null for none) the parent; false, changing
    // nothing, when this type is `newParent` or one of its ancestors.
    bool link(Type* newParent);
    // Whether `ancestor` is this type or one of its ancestors, also through
    // types of another manager or of none.
    bool isOrDescendsFrom(TypeImpl& ancestor);
    void mark(Mark which, bool on);
    // The nearest type of the chain, this one first, that bears `which`,
    // up to the first type of another manager or of none; null when none.
    TypeImpl* nearestMarked(Mark which);
    // The factory of the nearest type of the chain that has one, the type's
    // own at once, another's kept until a parent link of a manager's types
    // changes; null, with the type where
    // the search goes on in `beyond` (a type of another manager or of none),
    // when none of this manager's has one.
    ModelObjectFactory* chainFactory(Type*& beyond);

    // The first type of the chain among this manager's.
    TypeImpl* chainRoot();
    void cut();
    void access();
    void splay();
    void rotate();
    void pull();
    bool splayRoot() const;

    std::string name;
    std::string uid;
    Type* parent = nullptr;
    // Held by value; mutable so that the const lookup can hand out the
    // non-const pointer that the interface returns.
    mutable std::map<std::string, PropertyDescriptionImpl> descriptions;

    const ModelManagerImpl* owner = nullptr;
    // The type's own factory when it bears FACTORY, else what chainFactory
    // found, at the value of `links` in `keptAt`.
    ModelObjectFactory* factory = nullptr;
    std::uint64_t keptAt = 0;
    // In the splay tree of its path: the tree's parent (or, at the top, the
    // type the path hangs from) and children; its own marks and those of
    // its subtree.
    TypeImpl* splayUp = nullptr;
    TypeImpl* splayChild[2] = {nullptr, nullptr};
    unsigned char marks = 0;
    unsigned char subtreeMarks = 0;
    // Moves on whenever a parent link among the types of a manager changes.
    static std::atomic<std::uint64_t> links;
};

}  // namespace Quillomark::Soa::Client
