// The ":NAME" parameter parser of queries (no database needed).
#include <gtest/gtest.h>

#include "core/db/query.h"
#include "core/exceptions.h"

namespace {

std::vector<std::string> Names(const TParameters& p) {
    std::vector<std::string> out;
    for (int i = 0; i < p.Count(); ++i) out.push_back(p[i].Name);
    return out;
}

std::string Rebuild(const std::vector<TSqlPiece>& pieces, const TParameters& params) {
    std::string s;
    for (const auto& piece : pieces) s += piece.param < 0 ? piece.text : "<" + params[piece.param].Name + ">";
    return s;
}

}  // namespace

TEST(SqlParameterParser, FindsNamesInOrderOfFirstAppearanceSkippingQuotesAndComments) {
    TParameters p;
    auto pieces = ParseSqlParameters("UPDATE T SET A = :A, B = :b_2 WHERE (ID = :ID) AND (X = :a)", p);
    EXPECT_EQ(Names(p), (std::vector<std::string>{"A", "b_2", "ID"}));
    EXPECT_EQ(Rebuild(pieces, p), "UPDATE T SET A = <A>, B = <b_2> WHERE (ID = <ID>) AND (X = <A>)");
    const TParameters& constP = p;
    for (int bad : {-1, 3}) {
        EXPECT_THROW(p[bad], EListError) << bad;
        EXPECT_THROW(constP[bad], EListError) << bad;
    }
    TParameters quoted;
    const std::string sql =
        "SELECT ':IN_SINGLE', \":IN_DOUBLE\", 'it''s :DOUBLED', 'esc\\' :ESC', `odd:NAME` -- :DASHED\r\n"
        "/* :BLOCK */ # :HASH\n"
        "FROM T WHERE ADDTIME(modify_date, '0 0:05:0.00000') < current_timestamp AND ID = :REAL";
    auto kept = ParseSqlParameters(sql, quoted);
    EXPECT_EQ(Names(quoted), (std::vector<std::string>{"REAL"}));
    // Everything but the parameter is kept byte for byte.
    std::string rebuilt = Rebuild(kept, quoted);
    EXPECT_EQ(rebuilt, sql.substr(0, sql.size() - 5) + "<REAL>");
}

TEST(SqlParameterParser, ColonsThatAreNoParametersAndAnUnterminatedQuote) {
    TParameters p;
    // A colon before a digit, an assignment, a double dash without a blank
    // (an expression, not a comment) and a lone colon at the end.
    auto pieces = ParseSqlParameters("SELECT 1:2, @a:=3, 5--:X, :", p);
    EXPECT_EQ(Names(p), (std::vector<std::string>{"X"}));
    EXPECT_EQ(Rebuild(pieces, p), "SELECT 1:2, @a:=3, 5--<X>, :");
    // An unterminated quote keeps the rest as text.
    TParameters q;
    ParseSqlParameters("SELECT 'abc :X", q);
    EXPECT_EQ(q.Count(), 0);
}

TEST(SqlParameterParser, ParamByNameIsCaseInsensitiveUnknownNamesRaiseNewTextKeepsValues) {
    TQuery q(nullptr);
    q.SetSQL("SELECT * FROM ZVL_ENV_VARS WHERE VAR_NAME = :VAR_NAME");
    EXPECT_EQ(&q.ParamByName("var_name"), &q.ParamByName("VAR_NAME"));
    EXPECT_EQ(q.FindParam("OTHER"), nullptr);
    EXPECT_THROW(q.ParamByName("OTHER"), EDatabaseError);
    // Without a data module, using the query raises.
    EXPECT_THROW(q.Open(), EDatabaseError);
    EXPECT_THROW(q.ExecSQL(), EDatabaseError);
    EXPECT_FALSE(q.Active());
    EXPECT_TRUE(q.Eof());
    EXPECT_THROW(q.Next(), EDatabaseError);
    // New text keeps the values of the parameters that remain.
    q.SetSQL("SELECT :A, :B");
    q.ParamByName("A").Value = Variant(int32_t(1));
    q.ParamByName("B").Value = Variant(int32_t(2));
    q.SetSQL("SELECT :B, :C");
    ASSERT_EQ(q.Parameters().Count(), 2);
    EXPECT_EQ(q.ParamByName("B").Value.AsInteger(), 2);
    EXPECT_TRUE(q.ParamByName("C").Value.IsEmpty());
    EXPECT_EQ(q.FindParam("A"), nullptr);
}
