#pragma once

#include "VqExport.h"
#include "VqGUID.h"

class VqBase;

// Static run-time type record of a class.
struct VQ_API VqType {
    VqGUID guid;
    const char* name;
    const VqType* parent;
    int32_t size;
    VqBase* (*create)();

    // True when t is this record or one on its parent chain.
    bool isA(const VqType& t) const {
        for (const VqType* p = this; p; p = p->parent)
            if (p == &t) return true;
        return false;
    }
    // Sets out to a new instance (null for classes that cannot be created).
    bool createInstance(VqBase*& out) const {
        out = nullptr;
        if (create) out = create();
        return true;
    }
};

// Declares the type statics of a class: s_vqType, classTypeID(),
// createInstance(), constructType(), destructType(), type() and _clone.
#define VQ_DECLARE_TYPE(Class)                                                                               \
public:                                                                                                      \
    static VqType s_vqType;                                                                                  \
    static const VqType& classTypeID() {                                                                     \
        return s_vqType;                                                                                     \
    }                                                                                                        \
    static VqBase* createInstance();                                                                         \
    static bool constructType();                                                                             \
    static bool destructType();                                                                              \
    const VqType* type() const override {                                                                    \
        return &s_vqType;                                                                                    \
    }                                                                                                        \
    bool _clone(VqBase*& out) const override;                                                                \
                                                                                                             \
private:

// Defines them. CREATE is VQ_TYPE_CREATABLE or VQ_TYPE_ABSTRACT; CLONE is
// VQ_TYPE_CLONE (copy constructor) or VQ_TYPE_NOCLONE (result null, success).
#define VQ_TYPE_CREATABLE(Class)                                                                             \
    VqBase* Class::createInstance() {                                                                        \
        return new Class();                                                                                  \
    }
#define VQ_TYPE_ABSTRACT(Class)                                                                              \
    VqBase* Class::createInstance() {                                                                        \
        return nullptr;                                                                                      \
    }
#define VQ_TYPE_CLONE(Class)                                                                                 \
    bool Class::_clone(VqBase*& out) const {                                                                 \
        out = new Class(*this);                                                                              \
        return out != nullptr;                                                                               \
    }
#define VQ_TYPE_NOCLONE(Class)                                                                               \
    bool Class::_clone(VqBase*& out) const {                                                                 \
        out = nullptr;                                                                                       \
        return true;                                                                                         \
    }

#define VQ_IMPLEMENT_TYPE_EX(Class, Parent, GuidConst, CREATE, CLONE, createFn)                              \
    VqType Class::s_vqType = {VqGUID(), #Class, nullptr, 0, nullptr};                                        \
    CREATE(Class)                                                                                            \
    CLONE(Class)                                                                                             \
    bool Class::constructType() {                                                                            \
        s_vqType.guid = VqGUID(GuidConst);                                                                   \
        s_vqType.parent = &Parent::s_vqType;                                                                 \
        s_vqType.size = static_cast<int32_t>(sizeof(Class));                                                 \
        s_vqType.create = createFn;                                                                          \
        return VqFactory::addType(s_vqType);                                                                 \
    }                                                                                                        \
    bool Class::destructType() {                                                                             \
        bool ok = VqFactory::removeType(s_vqType);                                                           \
        s_vqType.parent = nullptr;                                                                           \
        s_vqType.create = nullptr;                                                                           \
        return ok;                                                                                           \
    }

// The usual case: a creatable class copied by its copy constructor.
#define VQ_IMPLEMENT_TYPE(Class, Parent, GuidConst)                                                          \
    VQ_IMPLEMENT_TYPE_EX(Class, Parent, GuidConst, VQ_TYPE_CREATABLE, VQ_TYPE_CLONE, &Class::createInstance)
// A creatable class that cannot be copied.
#define VQ_IMPLEMENT_TYPE_NOCLONE(Class, Parent, GuidConst)                                                  \
    VQ_IMPLEMENT_TYPE_EX(Class, Parent, GuidConst, VQ_TYPE_CREATABLE, VQ_TYPE_NOCLONE, &Class::createInstance)
// An abstract class: registered for identity, never created by the factory.
#define VQ_IMPLEMENT_ABSTRACT_TYPE(Class, Parent, GuidConst)                                                 \
    VQ_IMPLEMENT_TYPE_EX(Class, Parent, GuidConst, VQ_TYPE_ABSTRACT, VQ_TYPE_NOCLONE, nullptr)
