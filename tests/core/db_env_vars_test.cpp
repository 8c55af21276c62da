// Environment variables in ZVL_ENV_VARS against the real test instance.
#include <gtest/gtest.h>

#include "core/db/dm_base.h"
#include "core/db/env_vars.h"
#include "core/exceptions.h"
#include "support/test_db.h"

namespace {

// The services read switches only, one at a time (ReadBool); the full load
// and the write-back of variables have no caller in the services.
class EnvVarsTest : public ::testing::Test {
protected:
    TestDatabase db;
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

}  // namespace
