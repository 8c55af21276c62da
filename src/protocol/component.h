// The component base of the command and result classes and the run-time
// description the component-stream codec works from: per class, its name,
// its published properties in index order (name, type, accessors, declared
// default) and its defined properties with their read and write routines.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <type_traits>

#include "core/datetime.h"

class TComponent;
class TComponentWriter;
class TComponentReader;
struct TPharmClassInfo;

// Property types the codec knows.
enum class TPropKind : uint8_t {
    pkInteger,      // 32-bit integer
    pkInt64,        // 64-bit integer
    pkBoolean,
    pkEnumeration,
    pkString,       // code page 1251 text
    pkDateTime,     // floating point on the wire (80-bit extended)
};

// An enumeration type: its name and its identifiers, ordinal 0 first.
struct TEnumTypeInfo {
    const char* Name;
    std::span<const char* const> Identifiers;

    // Ordinal of an identifier, ignoring letter case; -1 when it is not declared.
    int Find(const std::string& ident) const;
    const char* Identifier(int ordinal) const;   // nullptr when out of range
};

// Ties an enumeration type to its description; specialised beside each enum.
template <typename E>
struct TEnumTraits;

struct TPropInfo {
    const char* Name = nullptr;
    TPropKind Kind = TPropKind::pkInteger;
    const TEnumTypeInfo* EnumType = nullptr;   // pkEnumeration only
    std::optional<int64_t> Default;            // declared default (only Tag has one)
    bool NeverStored = false;                  // Name: read if present, never written

    // Accessors by kind: ordinal kinds (integer, 64-bit, Boolean, enumeration)
    // go through GetOrd/SetOrd, strings through GetStr/SetStr, date-times
    // through GetFloat/SetFloat.
    int64_t (*GetOrd)(const TComponent&) = nullptr;
    void (*SetOrd)(TComponent&, int64_t) = nullptr;
    const std::string& (*GetStr)(const TComponent&) = nullptr;
    void (*SetStr)(TComponent&, std::string&&) = nullptr;
    double (*GetFloat)(const TComponent&) = nullptr;
    void (*SetFloat)(TComponent&, double) = nullptr;
};

// A property the class streams itself ("CustomerInfo", "PrivateProperties",
// "Data"): written after the published ones, always.
struct TDefinedPropInfo {
    const char* Name;
    void (*Write)(const TComponent&, TComponentWriter&);
    void (*Read)(TComponent&, TComponentReader&);
};

struct TPharmClassInfo {
    const char* ClassName;
    const TPharmClassInfo* Parent;                 // nullptr for the two roots
    std::span<const TPropInfo> Properties;         // published, in index order
    std::span<const TDefinedPropInfo> DefinedProperties;
    std::unique_ptr<TComponent> (*Create)();       // the virtual constructor

    bool InheritsFrom(const TPharmClassInfo& other) const;
    const TPropInfo* FindProperty(const std::string& name) const;           // ignoring case
    const TDefinedPropInfo* FindDefinedProperty(const std::string& name) const;
};

// Base of every command and result. Name and Tag are its two published
// properties (index 0 and 1); no class of the protocol sets either.
class TComponent {
public:
    TComponent() = default;
    virtual ~TComponent() = default;
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    std::string Name;
    int32_t Tag = 0;

    virtual const TPharmClassInfo& ClassInfo() const = 0;
    const char* ClassName() const;
    // True when the object's class is `info` or derives from it.
    bool InheritsFrom(const TPharmClassInfo& info) const { return ClassInfo().InheritsFrom(info); }
    template <typename T>
    bool Is() const { return InheritsFrom(T::StaticClassInfo()); }
};

// ------------------------------------------------------------------------
// Building property descriptions from data members: Prop<&TClass::Member>("Member")
// picks the kind from the member's type.

namespace vt_detail {
template <auto M>
struct MemberOf;
template <class C, class T, T C::*M>
struct MemberOf<M> {
    using Class = C;
    using Type = T;
};
}  // namespace vt_detail

template <auto M>
constexpr TPropInfo Prop(const char* name, std::optional<int64_t> declaredDefault = std::nullopt,
                         bool neverStored = false) {
    using C = typename vt_detail::MemberOf<M>::Class;
    using T = typename vt_detail::MemberOf<M>::Type;
    static_assert(std::is_base_of_v<TComponent, C>);
    TPropInfo p{};
    p.Name = name;
    p.Default = declaredDefault;
    p.NeverStored = neverStored;
    if constexpr (std::is_same_v<T, std::string>) {
        p.Kind = TPropKind::pkString;
        p.GetStr = [](const TComponent& o) -> const std::string& { return static_cast<const C&>(o).*M; };
        p.SetStr = [](TComponent& o, std::string&& v) { static_cast<C&>(o).*M = std::move(v); };
    } else if constexpr (std::is_same_v<T, TDateTime>) {
        p.Kind = TPropKind::pkDateTime;
        p.GetFloat = [](const TComponent& o) -> double { return static_cast<const C&>(o).*M; };
        p.SetFloat = [](TComponent& o, double v) { static_cast<C&>(o).*M = v; };
    } else {
        if constexpr (std::is_same_v<T, bool>) {
            p.Kind = TPropKind::pkBoolean;
        } else if constexpr (std::is_enum_v<T>) {
            p.Kind = TPropKind::pkEnumeration;
            p.EnumType = &TEnumTraits<T>::Info;
        } else if constexpr (std::is_same_v<T, int64_t>) {
            p.Kind = TPropKind::pkInt64;
        } else {
            static_assert(std::is_same_v<T, int32_t>, "unsupported property type");
            p.Kind = TPropKind::pkInteger;
        }
        p.GetOrd = [](const TComponent& o) -> int64_t { return static_cast<int64_t>(static_cast<const C&>(o).*M); };
        p.SetOrd = [](TComponent& o, int64_t v) { static_cast<C&>(o).*M = static_cast<T>(v); };
    }
    return p;
}
