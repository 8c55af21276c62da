// A MariaDB instance of a test's own (scripts/db.sh), for tests that stop
// and start the database under a running service: the shared test instance
// must keep running for the other tests. Started on a free port in a
// temporary folder; stopped when the object goes.
//
//     PrivateDbInstance instance;                       // initialised and running
//     ScopedEnv port("VT_TEST_DB_PORT", std::to_string(instance.Port()));
//     TestDatabase db;                                  // a database in it
//     instance.Stop();  ...  instance.Start();
//
// A fixture takes OwnDbInstance as its first base class, so that the
// database of the fixture that follows it is made in the own instance:
//
//     class MyOutageTest : public OwnDbInstance, public SomeServiceFixture {};
#pragma once

#include <string>

#include "support/scoped_env.h"
#include "support/temp_dir.h"

class PrivateDbInstance {
public:
    // Throws std::runtime_error with the script's output when it cannot start.
    PrivateDbInstance();
    ~PrivateDbInstance();
    PrivateDbInstance(const PrivateDbInstance&) = delete;
    PrivateDbInstance& operator=(const PrivateDbInstance&) = delete;

    int Port() const { return port_; }
    // Stops the server (waits until it has ended) / starts it again on the
    // same port and folder (waits until it answers).
    void Stop();
    void Start();

private:
    TempDir dir_;
    int port_;
};

// The instance, and the test instance's port pointing at it while it lives.
struct OwnDbInstance {
    PrivateDbInstance instance;
    ScopedEnv instancePort{"VT_TEST_DB_PORT", std::to_string(instance.Port())};
};
