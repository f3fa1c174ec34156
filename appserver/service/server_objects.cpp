#include "server_objects.h"

#include "contract.h"
#include "server_text.h"

namespace appserver {

// What the server offers: every provider and method on one line, with its
// object and the function of its own file that makes it. Adding one is a
// file of its own and a line here.
#define SERVER_PROVIDERS(X)                             \
    X(contract::kCompanyInfoObject, make_temp_provider) \
    X(contract::kCustObject, make_plan_provider)        \
    X(contract::kCustObject, make_board_provider)       \
    X(contract::kCustObject, make_month_state_provider) \
    X(contract::kCustObject, make_weights_provider)
#define SERVER_METHODS(X)                                          \
    X(contract::kCompanyInfoObject, make_transaction_start_method)  \
    X(contract::kCompanyInfoObject, make_transaction_commit_method) \
    X(contract::kCompanyInfoObject, make_rollback_method)           \
    X(contract::kCustObject, make_generate_plans_method)           \
    X(contract::kCustObject, make_allocate_remaining_method)       \
    X(contract::kCustObject, make_roll_forward_method)             \
    X(contract::kCustObject, make_save_weights_method)             \
    X(contract::kCustObject, make_move_month_state_method)         \
    X(contract::kCustObject, make_import_plans_method)

#define DECLARE_PROVIDER(object, make) std::unique_ptr<Provider> make();
#define DECLARE_METHOD(object, make) std::unique_ptr<Method> make();
SERVER_PROVIDERS(DECLARE_PROVIDER)
SERVER_METHODS(DECLARE_METHOD)

ServerObjects::ServerObjects()
{
    auto add = [this](const char *name, const char *class_id) {
        objects_.push_back(std::make_unique<ServerObject>());
        objects_.back()->name = name;
        objects_.back()->class_id = class_id;
    };
    add(contract::kCompanyInfoObject, contract::kCompanyInfoClassId);
    add(contract::kCustObject, contract::kCustClassId);
#define ADD_PROVIDER(object, make) add_provider(object, make());
#define ADD_METHOD(object, make) add_method(object, make());
    SERVER_PROVIDERS(ADD_PROVIDER)
    SERVER_METHODS(ADD_METHOD)
}

const Provider *ServerObject::provider(const std::string &name) const
{
    for (const auto &p : providers)
        if (p->name() == name) return p.get();
    return nullptr;
}

const Method *ServerObject::method(const std::string &name) const
{
    for (const auto &m : methods)
        if (equal_ignoring_case(m->name(), name)) return m.get();
    return nullptr;
}

ServerObject &ServerObjects::object(const std::string &name)
{
    for (auto &o : objects_)
        if (o->name == name) return *o;
    throw std::logic_error("no server object " + name);
}

void ServerObjects::add_provider(const std::string &object_name, std::unique_ptr<Provider> provider)
{
    object(object_name).providers.push_back(std::move(provider));
}

void ServerObjects::add_method(const std::string &object_name, std::unique_ptr<Method> method)
{
    object(object_name).methods.push_back(std::move(method));
}

const ServerObject *ServerObjects::find(const std::string &name) const
{
    for (const auto &o : objects_)
        if (equal_ignoring_case(o->name, name)) return o.get();
    return nullptr;
}

}  // namespace appserver
