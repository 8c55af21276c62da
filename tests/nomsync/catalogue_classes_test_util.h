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
    const char* table;        // central table
    const char* staged;       // update table
    const char* extLetters;   // of the nomenclature data files
    // An object with every field set, named name, ID -1.
    std::function<std::unique_ptr<TNomenclatureObject>(TDMBase*, const std::string& name)> filled;
};

inline const std::vector<CatalogueClass>& CatalogueClasses() {
    static const std::vector<CatalogueClass> c = {
        {"TProducer", TNomObjectType::notProducer, "PRODUCER", "NOM_UPDATE_PRODUCER", "P",
         [](TDMBase* dm, const std::string& n) {
             auto p = std::make_unique<TProducer>(dm);
             FillProducer(*p, n);
             return std::unique_ptr<TNomenclatureObject>(std::move(p));
         }},
        {"TArticleGroup", TNomObjectType::notArticleGroup, "ARTICLE_GROUP", "NOM_UPDATE_ARTICLE_GROUP", "AG",
         [](TDMBase* dm, const std::string& n) {
             auto g = std::make_unique<TArticleGroup>(dm);
             FillGroup(*g, n);
             return std::unique_ptr<TNomenclatureObject>(std::move(g));
         }},
        {"TMeasureName", TNomObjectType::notMeasureName, "MEASURE_NAME", "NOM_UPDATE_MEASURE_NAME", "M",
         [](TDMBase* dm, const std::string& n) {
             auto m = std::make_unique<TMeasureName>(dm);
             FillMeasureName(*m, n);
             return std::unique_ptr<TNomenclatureObject>(std::move(m));
         }},
        {"TSupplier", TNomObjectType::notSupplier, "SUPPLIER", "NOM_UPDATE_SUPPLIER", "S",
         [](TDMBase* dm, const std::string& n) {
             auto s = std::make_unique<TSupplier>(dm);
             FillSupplier(*s, "", n);  // no sticker: always admitted
             return std::unique_ptr<TNomenclatureObject>(std::move(s));
         }},
    };
    return c;
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
