// Helpers of the producer, article group, measure name and supplier tests:
// objects with every field set, their wire bytes, and proposals made of raw
// bytes.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "nomsync/article_group.h"
#include "nomsync/measure_name.h"
#include "nomsync/supplier.h"
#include "nomsync_test_util.h"

namespace nomsync_test {

inline void FillGroup(TArticleGroup& g, const std::string& name) {
    g.NAME = name;
    g.MAX_OVERRATE = Currency::FromRaw(123456);      // 12.3456
    g.DEFAULT_DISCOUNT = Currency::FromRaw(50001);   // 5.0001
    g.TICKET_GROUP = 3;
    g.DEFAULT_NZOK_DISCOUNT = Currency::FromRaw(7);  // 0.0007
    g.CUSTOM_CARDS_DISCOUNT = Currency::FromRaw(-25000);
}

inline void FillMeasureName(TMeasureName& m, const std::string& name) {
    m.ANAME = name;
    m.SHORT_NAME = name.substr(0, 3) + ".";
}

inline void FillSupplier(TSupplier& s, const std::string& sticker, const std::string& name) {
    s.SetSticker(sticker);
    s.SetName(name);
    s.SetDiscountMethod(2);
    s.SetAddress("Varna, 5 Sea St");
    s.SetTel("+359 52 111");
    s.SetTaxNo("1234567890");
    s.SetBulstat("BG12345");
    s.SetBankName("Bank");
    s.SetBankAccount("ACC-2");
    s.SetBranchNo("07");
    s.SetBankAddress("Varna");
    s.SetBankCode("BNK2");
    s.IsTaxRegistered = false;
    s.SetPharmacyCode(4411);
    s.SetIbanBankCode("BGBNK2");
    s.SetIbanBankAccount("BG00BNK2");
    s.SetIbanVatAccount("BG00VAT2");
    s.SetVatID("BG1234567890");
    s.SetEmail("orders@example.com");
    s.IsNZOKSupplier = true;
}

// The four classes with what their tests share.
struct CatalogueClass {
    const char* name;
    TNomObjectType type;
    const char* table;       // central table; the update table is NOM_UPDATE_<table>
    const char* extLetters;  // of the nomenclature data files
    // An object with every field set, named name, ID -1.
    std::function<std::unique_ptr<TNomenclatureObject>(TDMBase*, const std::string& name)> filled;
};

// An object of class T filled by fill(object, name).
template <class T, class F>
std::function<std::unique_ptr<TNomenclatureObject>(TDMBase*, const std::string&)> Filled(F fill) {
    return [fill](TDMBase* dm, const std::string& name) {
        auto o = std::make_unique<T>(dm);
        fill(*o, name);
        return std::unique_ptr<TNomenclatureObject>(std::move(o));
    };
}

inline const std::vector<CatalogueClass>& CatalogueClasses() {
    static const std::vector<CatalogueClass> c = {
        {"TProducer", TNomObjectType::notProducer, "PRODUCER", "P", Filled<TProducer>(FillProducer)},
        {"TArticleGroup", TNomObjectType::notArticleGroup, "ARTICLE_GROUP", "AG", Filled<TArticleGroup>(FillGroup)},
        {"TMeasureName", TNomObjectType::notMeasureName, "MEASURE_NAME", "M", Filled<TMeasureName>(FillMeasureName)},
        {"TSupplier", TNomObjectType::notSupplier, "SUPPLIER", "S",
         Filled<TSupplier>([](TSupplier& s, const std::string& n) { FillSupplier(s, "", n); })},  // always admitted
    };
    return c;
}

inline std::unique_ptr<TNomenclatureObject> NewOf(const CatalogueClass& c, TDMBase* dm) {
    return TNomenclatureObject::GetNomObjectClass(c.type).New(dm);
}

// An actualisation command whose object data are the given tagged-value bytes.
inline std::unique_ptr<TPharmServerNomActualizationCommand> MakeActualizationOfBytes(
    int32_t code, const std::string& password, const std::string& plain, TNomObjectType type,
    TNomObjectActualizationType kind) {
    auto c = MakeCommand<TPharmServerNomActualizationCommand>(code, password);
    c->NomObjectType = type;
    c->NomObjectActualizationType = kind;
    TMemoryStream s(plain);
    CompressStream(s, c->Data);
    c->Data.SetPosition(0);
    c->PacketSize = c->Data.Size();
    return c;
}

}  // namespace nomsync_test
