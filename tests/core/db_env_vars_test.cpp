// Environment variables in ZVL_ENV_VARS against the real test instance.
#include <gtest/gtest.h>

#include "core/db/dm_base.h"
#include "core/db/env_vars.h"
#include "core/exceptions.h"
#include "support/test_db.h"

namespace {

class EnvVarsTest : public ::testing::Test {
protected:
    // The table's rows as "ID NAME=VALUE@PHARM_ID ..." in ID order.
    std::string Stored() {
        std::string out;
        for (const auto& r : db.Rows("SELECT ID, VAR_NAME, VAR_VALUE, PHARM_ID FROM ZVL_ENV_VARS ORDER BY ID"))
            out += VarToStr(r[0]) + " " + VarToStr(r[1]) + "=" + VarToStr(r[2]) + "@" + VarToStr(r[3]) + " ";
        return out;
    }

    TestDatabase db;
    TestLog log;
};

TEST_F(EnvVarsTest, ReadBoolIsTrueOnlyForExactlyTOfTheCentralRowInExactCaseAndWritesNothing) {
    db.Exec("INSERT INTO ZVL_ENV_VARS (ID, VAR_NAME, VAR_VALUE, PHARM_ID) VALUES "
            "(1, 'IsT', 'T', 0), (2, 'IsF', 'F', 0), (3, 'IsEmpty', '', 0), (4, 'IsNull', NULL, 0), "
            "(5, 'IsLower', 't', 0), (6, 'IsOne', '1', 0), (7, 'IsTrue', 'True', 0), (8, 'Elsewhere', 'T', 5), "
            "(9, 'lettercase', 'T', 0)");
    TDMBase dm;
    // Missing or null: the default.
    const struct { const char* name; bool byDefault, want; } cases[] = {
        {"Missing", false, false}, {"Missing", true, true}, {"IsNull", true, true},   {"IsNull", false, false},
        {"IsT", false, true},      {"IsF", true, false},    {"IsEmpty", true, false}, {"IsLower", true, false},
        {"IsOne", true, false},    {"IsTrue", true, false},   {"Elsewhere", false, false},
        // The server compares names without regard to case; the variable list
        // does not, so a row spelled otherwise leaves the default in force.
        {"lettercase", false, true}, {"LetterCase", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(TZVL2EnvironmentVariables::ReadBool(&dm, c.name, c.byDefault), c.want);
    }
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM ZVL_ENV_VARS"), 9);
    // A single-name object never writes the variable it lacks.
    {
        TZVL2EnvironmentVariables vars(&dm, "Missing");
        EXPECT_FALSE(vars.GetBool("Missing", false));
        EXPECT_EQ(vars.GetCount(), 1);
        EXPECT_TRUE(vars.GetVar(0).Modified);
        EXPECT_FALSE(vars.IsModified());
    }
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM ZVL_ENV_VARS"), 9);
    db.Exec("DROP TABLE ZVL_ENV_VARS");
    EXPECT_THROW(TZVL2EnvironmentVariables::ReadBool(&dm, "NomSyncServerPaused", false), EDatabaseError);
}

// A full load takes the central rows, the first of duplicate names in exact
// case; at the end, missing variables are inserted with the generator's next
// ids and modified ones updated in place.
TEST_F(EnvVarsTest, AFullLoadWritesMissingAndModifiedVariablesBackAtItsEnd) {
    db.Exec("INSERT INTO ZVL_ENV_VARS (ID, VAR_NAME, VAR_VALUE, PHARM_ID) VALUES "
            "(10, 'A', 'one', 0), (11, 'A', 'two', 0), (12, 'B', NULL, 0), (13, 'C', 'T', 5), (14, 'B', 'x', 2)");
    db.Exec("UPDATE ZVL_GENERATORS SET ID_VALUE = 100 WHERE GENERATOR_ID = 6");
    TDMBase dm;
    {
        TZVL2EnvironmentVariables vars(&dm, "");
        ASSERT_EQ(vars.GetCount(), 2);
        EXPECT_THROW(vars.GetVar(2), EListError);
        TEnvVar* a = vars.FindVar("A");
        EXPECT_EQ(a->ID, 10);
        EXPECT_EQ(a->Value.AsString(), "one");
        EXPECT_TRUE(vars.FindVar("B")->Value.IsNull());
        EXPECT_EQ(vars.FindVar("a"), nullptr);  // letter case counts
        EXPECT_EQ(vars.FindVar("C"), nullptr);  // another pharmacy's
        EXPECT_FALSE(vars.IsModified());
        Variant v;
        vars.GetValue("NewSwitch", Variant("F"), v);
        EXPECT_EQ(v.AsString(), "F");
        EXPECT_TRUE(vars.GetBool("AnotherNew", true));
        EXPECT_TRUE(vars.IsModified());
        EXPECT_EQ(vars.FindVar("NewSwitch")->ID, -1);
        a->Value = Variant("changed");
        a->Modified = true;
    }
    EXPECT_EQ(Stored(), "10 A=changed@0 11 A=two@0 12 B=@0 13 C=T@5 14 B=x@2 101 NewSwitch=F@0 102 AnotherNew=T@0 ");
}

TEST_F(EnvVarsTest, WriteBackCommitsTheCallersTransactionOnceAndAnErrorRollsBackOrIsLogged) {
    TDMBase dm;
    dm.StartTransaction(TIsolationLevel::ilReadCommitted);
    dm.ExecSQL("INSERT INTO pharmacy (id) VALUES (4)");
    {
        TZVL2EnvironmentVariables vars(&dm, "");
        Variant v;
        vars.GetValue("X", Variant("1"), v);
        vars.WriteBack();
        EXPECT_FALSE(dm.InTransaction());
        EXPECT_FALSE(vars.FindVar("X")->Modified);
        EXPECT_EQ(vars.FindVar("X")->ID, 1);
        vars.WriteBack();
    }
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM pharmacy"), 1);
    EXPECT_EQ(Stored(), "1 X=1@0 ");
    // Generator 6 hands out an ID that is taken: the insert fails.
    db.Exec("INSERT INTO ZVL_ENV_VARS (ID, VAR_NAME, VAR_VALUE, PHARM_ID) VALUES (8, 'Taken', 'x', 3)");
    db.Exec("UPDATE ZVL_GENERATORS SET ID_VALUE = 7 WHERE GENERATOR_ID = 6");
    dm.StartTransaction(TIsolationLevel::ilReadCommitted);
    dm.ExecSQL("INSERT INTO pharmacy (id) VALUES (5)");
    {
        TZVL2EnvironmentVariables vars(&dm, "");
        Variant v;
        vars.GetValue("Y", Variant("1"), v);
        EXPECT_THROW(vars.WriteBack(), EDatabaseError);
    }  // the destructor does not try again
    EXPECT_FALSE(dm.InTransaction());
    EXPECT_EQ(db.ScalarInt("SELECT COUNT(*) FROM pharmacy"), 1);
    EXPECT_TRUE(log.Messages("TZVL2EnvironmentVariables").empty());
    // Left to the destructor, the error is logged instead of thrown.
    {
        TZVL2EnvironmentVariables vars(&dm, "");
        Variant v;
        vars.GetValue("Y", Variant("1"), v);
    }
    auto messages = log.Messages("TZVL2EnvironmentVariables");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].rfind("Writing the environment variables failed: ", 0), 0u);
    EXPECT_EQ(Stored(), "1 X=1@0 8 Taken=x@3 ");
}

}  // namespace
