// Fuzz target of the catalogue object records: the first byte picks the
// class of the class table (its type number, modulo the six types), the rest
// is the plain record of tagged values a pharmacy sends inside the object
// data. A record that reads without an error must write a record that reads
// back without one and writes the same bytes again.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "core/exceptions.h"
#include "core/stream.h"
#include "nomsync/nomenclature_object.h"

namespace {

std::string Written(TNomenclatureObject& obj) {
    TMemoryStream s;
    TNomenclatureObject::SaveToStream(obj, s);
    return s.Bytes();
}

void Fail(const char* what, const TNomenclatureObject& obj) {
    std::fprintf(stderr, "%s: %s\n", obj.ClassName(), what);
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const auto type = static_cast<TNomObjectType>(data[0] % 6);
    const TNomObjectClass& cls = TNomenclatureObject::GetNomObjectClass(type);

    auto obj = cls.New(nullptr);
    try {
        TMemoryStream in(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
        TNomenclatureObject::LoadFromStream(*obj, in);
    } catch (const EAssertionFailed&) {
        throw;  // a broken invariant of ours, not a refused record
    } catch (const Exception&) {
        return 0;  // refused: the reader's or the record checks' error
    }

    const std::string first = Written(*obj);
    auto back = cls.New(nullptr);
    try {
        TMemoryStream again(first);
        TNomenclatureObject::LoadFromStream(*back, again);
    } catch (const Exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        Fail("a record it wrote does not read back", *back);
    }
    if (Written(*back) != first) Fail("the record read back writes other bytes", *back);
    return 0;
}
