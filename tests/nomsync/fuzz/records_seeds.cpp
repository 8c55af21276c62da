// Writes the seed corpus of the record fuzz target into the folder given:
// for every class of the class table an empty object and one with every
// value set (articles with and without their NZOK part, with substitutes and
// measures), each file the type byte followed by the record its own
// SaveToWriter writes.
#include <cstdio>
#include <fstream>
#include <string>

#include "nomsync/nomsync_test_util.h"

using namespace nomsync_test;

namespace {

std::string g_dir;

void Write(const std::string& name, TNomObjectType type, TNomenclatureObject& obj) {
    const std::string bytes = std::string(1, static_cast<char>(type)) + WireBytes(obj);
    std::ofstream(g_dir + "/" + name, std::ios::binary) << bytes;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    g_dir = argv[1];
    for (int t = 0; t < 6; ++t) {
        const auto type = static_cast<TNomObjectType>(t);
        auto empty = TNomenclatureObject::GetNomObjectClass(type).New(nullptr);
        Write(std::string(empty->ClassName()) + "_empty", type, *empty);
    }
    for (const auto& c : CatalogueClasses()) {
        auto obj = c.filled(nullptr, Cp(u8"Име ") + "name");
        obj->SetID(300);
        Write(std::string(c.name) + "_filled", c.type, *obj);
    }
    {
        TArticle a(nullptr);
        FillArticle(a, "Aspirin", "3800001", "", 10);
        a.SetID(41);
        Write("TArticle_plain", TNomObjectType::notArticle, a);
    }
    {
        TArticle a(nullptr);
        FillArticle(a, "Analgin", "3800002", "NZ123", 20);
        a.SetID(42);
        AddSubstitute(a, 7, 41, Cp(u8"Кир Aspirin"), false);
        AddSubstitute(a, -1, 43, "", true);
        Write("TArticle_nzok", TNomObjectType::notArticle, a);
    }
    {
        TSQLDataPack p(nullptr);
        p.Remark = "prices";
        p.SQLFB.push_back("UPDATE ARTICLE SET BASE_PRICE = 1 WHERE ID = 5");
        p.SQLFB.push_back("DELETE FROM SHELF WHERE ID = 9");
        p.SQLMy.push_back("UPDATE ARTICLE SET BASE_PRICE = 1 WHERE ID = 5/*stmt_lim*/");
        Write("TSQLDataPack_filled", TNomObjectType::notSQLDataPack, p);
    }
    return 0;
}
