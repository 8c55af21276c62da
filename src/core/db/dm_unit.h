// A unit of work on one data module: the steps of one operation stored
// together or not at all, even when each step is written by code that begins
// and commits transactions of its own.
//
// While a unit is open on a data module, that data module's StartTransaction
// and CommitTransaction fold into the unit (nothing is committed; in debug
// mode the data module logs that it folded one), and its RollbackTransaction
// rolls back what the unit holds so far, after which the unit goes on from
// empty. Commit commits everything at once; a unit that ends without Commit
// (an exception passing through) rolls everything back.
//
//     TDMUnit unit(dm, "proposal of TProducer");
//     obj->SaveToDB(msg);            // its commits are folded
//     obj->SaveToUpdateTable(params);
//     unit.Commit();
//
// Only statements sent through this data module belong to the unit; a second
// data module has transactions of its own. A statement that commits by itself
// (DDL) ends the unit's transaction on the server; Resume begins it again.
// One unit at a time per data module.
#pragma once

#include <string>

class TDMBase;

class TDMUnit {
public:
    // Begins a read-committed transaction on dm (a transaction already open
    // there is committed first, as StartTransaction does).
    TDMUnit(TDMBase& dm, std::string label);
    // Rolls back unless committed; never raises.
    ~TDMUnit();
    TDMUnit(const TDMUnit&) = delete;
    TDMUnit& operator=(const TDMUnit&) = delete;

    // What the unit stores, as its log lines name it ("ActionRequestID = 17").
    void SetLabel(std::string label) { label_ = std::move(label); }
    const std::string& Label() const { return label_; }
    // Holds what follows again when a statement has ended the unit's
    // transaction on the server (one that commits implicitly, as DDL does):
    // what that statement committed stays committed.
    void Resume();
    // Commits what the unit holds and closes it; a failing commit raises
    // (the server has then discarded the transaction) and the unit is closed.
    void Commit();
    bool Open() const { return open_; }
    // How many times a step's rollback emptied the unit.
    int Restarts() const { return restarts_; }

private:
    friend class TDMBase;
    // The data module's own transaction operations while the unit is open.
    int FoldStart();
    void FoldCommit();
    void RollBackAndGoOn();
    void DebugLog(const std::string& text) const;
    // Runs f with the unit detached from the data module, so that the data
    // module's transaction operations act on the server.
    template <class F>
    void Detached(F f);

    TDMBase& dm_;
    std::string label_;
    bool open_ = false;
    int restarts_ = 0;
};
