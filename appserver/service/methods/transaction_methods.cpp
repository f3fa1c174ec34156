// The transaction methods of the company information object: the client's
// own transaction on its session, opened, committed or rolled back. They
// serve changes only, so a viewer may call none of them. They take no
// parameters and answer {}.
#include <nlohmann/json.hpp>

#include "contract.h"
#include "provider.h"

namespace appserver {

namespace {

class TransactionStart final : public Method {
public:
    TransactionStart() : Method(contract::kTranStartMethod) {}
    bool serves_changes() const override { return true; }
    MethodResult call(Call &call, const wire::MethodParams &) const override
    {
        if (call.db.in_transaction())
            throw ServerError(ServerError::Kind::BadRequest, "a transaction is already open on this session");
        call.db.begin();
        return MethodResult::object();
    }
};

// Without an open transaction commit and rollback do nothing.
class TransactionCommit final : public Method {
public:
    TransactionCommit() : Method(contract::kTranCommitMethod) {}
    bool serves_changes() const override { return true; }
    MethodResult call(Call &call, const wire::MethodParams &) const override
    {
        call.db.commit();
        return MethodResult::object();
    }
};

class Rollback final : public Method {
public:
    Rollback() : Method(contract::kRollbackMethod) {}
    bool serves_changes() const override { return true; }
    MethodResult call(Call &call, const wire::MethodParams &) const override
    {
        call.db.rollback();
        return MethodResult::object();
    }
};

}  // namespace

std::unique_ptr<Method> make_transaction_start_method() { return std::make_unique<TransactionStart>(); }
std::unique_ptr<Method> make_transaction_commit_method() { return std::make_unique<TransactionCommit>(); }
std::unique_ptr<Method> make_rollback_method() { return std::make_unique<Rollback>(); }

}  // namespace appserver
