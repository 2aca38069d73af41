#include <soa/client/TypeImpl.hxx>

#include <soa/client/RuntimeException.hxx>

namespace Quillomark::Soa::Client {

PropertyDescription::~PropertyDescription() = default;
Type::~Type() = default;

PropertyDescriptionImpl::PropertyDescriptionImpl(ValueType valueType, const std::string& name,
                                                 bool isArray, bool isModifiable)
    : name(name), valueType(valueType), array(isArray), modifiable(isModifiable) {}
PropertyDescriptionImpl::PropertyDescriptionImpl(const PropertyDescriptionImpl& other) = default;
PropertyDescriptionImpl& PropertyDescriptionImpl::operator=(const PropertyDescriptionImpl& other) =
    default;
PropertyDescriptionImpl::~PropertyDescriptionImpl() = default;

const std::string& PropertyDescriptionImpl::getName() const { return name; }
PropertyDescription::ValueType PropertyDescriptionImpl::getValueType() const { return valueType; }
bool PropertyDescriptionImpl::isArray() const { return array; }
bool PropertyDescriptionImpl::isModifiable() const { return modifiable; }

std::atomic<std::uint64_t> TypeImpl::links{1};

TypeImpl::TypeImpl(const std::string& uid, const std::string& name) : name(name), uid(uid) {}
TypeImpl::~TypeImpl() { parent = nullptr; }

Type* TypeImpl::getParent() const { return parent; }
const std::string& TypeImpl::getName() const { return name; }
const std::string& TypeImpl::getUid() const { return uid; }

PropertyDescription* TypeImpl::getPropertyDescription(const std::string& propertyName) const {
    auto it = descriptions.find(propertyName);
    return it == descriptions.end() ? nullptr : &it->second;
}

void TypeImpl::addPropertyDescription(const PropertyDescription& description) {
    const std::string& key = description.getName();
    auto at = descriptions.lower_bound(key);
    if (at != descriptions.end() && at->first == key) return;
    descriptions.emplace_hint(
        at, key,
        PropertyDescriptionImpl(description.getValueType(), key, description.isArray(),
                                description.isModifiable()));
}

void TypeImpl::setParent(Type* newParent) {
    if (owner == nullptr) {
        parent = newParent;
    } else if (!link(newParent)) {
        throw RuntimeException(RuntimeException::GENERAL_ERROR, "Type " + newParent->getName() +
                                                                    " descends from " + name +
                                                                    " and cannot be its parent");
    }
}

void TypeImpl::adopt(const ModelManagerImpl* manager, ModelObjectFactory* own) {
    owner = manager;
    factory = own;
    marks = subtreeMarks = own != nullptr ? FACTORY : 0;
}

bool TypeImpl::link(Type* newParent) {
    if (parent == newParent) return true;
    auto* sameManager = dynamic_cast<TypeImpl*>(newParent);
    if (sameManager != nullptr && sameManager->owner != owner) sameManager = nullptr;
    if (sameManager != nullptr) {
        if (sameManager->isOrDescendsFrom(*this)) return false;
    } else {
        for (Type* t = newParent; t != nullptr; t = t->getParent()) {
            if (t == this) return false;
        }
    }
    cut();
    // At the top of its path now, which hangs from a parent of the same
    // manager.
    splayUp = sameManager;
    parent = newParent;
    links.fetch_add(1, std::memory_order_relaxed);
    return true;
}

bool TypeImpl::isOrDescendsFrom(TypeImpl& ancestor) {
    if (&ancestor == this) return true;
    // This type's path from the root of its chain among the manager's
    // types is one splay tree: the ancestor, if it is one of them, is in it
    // and takes this type's place at the top. Past them the chain is walked,
    // and nothing of it is written.
    access();
    if (ancestor.owner == owner) {
        ancestor.splay();
        if (!splayRoot()) return true;
    }
    for (Type* t = chainRoot()->parent; t != nullptr; t = t->getParent()) {
        if (t == &ancestor) return true;
    }
    return false;
}

void TypeImpl::mark(Mark which, bool on) {
    access();
    marks = static_cast<unsigned char>(on ? marks | which : marks & ~which);
    pull();
}

TypeImpl* TypeImpl::nearestMarked(Mark which) {
    access();
    if ((marks & which) != 0) return this;
    // The ancestors are the left subtree; the nearest is the last in order.
    TypeImpl* t = splayChild[0];
    if (t == nullptr || (t->subtreeMarks & which) == 0) return nullptr;
    for (;;) {
        TypeImpl* later = t->splayChild[1];
        if (later != nullptr && (later->subtreeMarks & which) != 0) {
            t = later;
        } else if ((t->marks & which) != 0) {
            break;
        } else {
            t = t->splayChild[0];
        }
    }
    t->splay();
    return t;
}

ModelObjectFactory* TypeImpl::chainFactory(Type*& beyond) {
    beyond = nullptr;
    if ((marks & FACTORY) != 0) return factory;
    const std::uint64_t now = links.load(std::memory_order_relaxed);
    if (keptAt == now) return factory;
    if (TypeImpl* nearest = nearestMarked(FACTORY)) {
        factory = nearest->factory;
        keptAt = now;
        return factory;
    }
    // A chain that goes on in types of no manager or another is not kept:
    // their links may change without this manager's types noticing.
    beyond = chainRoot()->parent;
    if (beyond == nullptr) {
        factory = nullptr;
        keptAt = now;
    }
    return nullptr;
}

void TypeImpl::cut() {
    access();
    if (TypeImpl* above = splayChild[0]) {
        above->splayUp = nullptr;
        splayChild[0] = nullptr;
        pull();
    }
}

// Makes the path from the root of the chain to this type one splay tree,
// with this type at its top and nothing below it.
void TypeImpl::access() {
    TypeImpl* below = nullptr;
    for (TypeImpl* t = this; t != nullptr; t = t->splayUp) {
        t->splay();
        t->splayChild[1] = below;
        t->pull();
        below = t;
    }
    splay();
}

bool TypeImpl::splayRoot() const {
    return splayUp == nullptr || (splayUp->splayChild[0] != this && splayUp->splayChild[1] != this);
}

void TypeImpl::rotate() {
    TypeImpl* up = splayUp;
    TypeImpl* top = up->splayUp;
    const int side = up->splayChild[1] == this ? 1 : 0;
    if (!up->splayRoot()) top->splayChild[top->splayChild[1] == up ? 1 : 0] = this;
    splayUp = top;
    up->splayChild[side] = splayChild[1 - side];
    if (up->splayChild[side] != nullptr) up->splayChild[side]->splayUp = up;
    splayChild[1 - side] = up;
    up->splayUp = this;
    up->pull();
    pull();
}

void TypeImpl::splay() {
    while (!splayRoot()) {
        TypeImpl* up = splayUp;
        if (!up->splayRoot()) {
            const bool straight = (up->splayChild[1] == this) == (up->splayUp->splayChild[1] == up);
            (straight ? up : this)->rotate();
        }
        rotate();
    }
}

void TypeImpl::pull() {
    subtreeMarks = marks;
    for (const TypeImpl* child : splayChild) {
        if (child != nullptr) subtreeMarks |= child->subtreeMarks;
    }
}

TypeImpl* TypeImpl::chainRoot() {
    access();
    TypeImpl* root = this;
    while (root->splayChild[0] != nullptr) root = root->splayChild[0];
    root->splay();
    return root;
}

}  // namespace Quillomark::Soa::Client
