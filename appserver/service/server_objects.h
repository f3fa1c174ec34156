// The server objects, their class ids, and what each offers: one table, in
// server_objects.cpp, with one line per provider and method.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "provider.h"

namespace appserver {

struct ServerObject {
    std::string name;      // "VendrixServer.CoCompanyInfo"; matched without regard to case
    std::string class_id;  // matched without regard to case
    std::vector<std::unique_ptr<Provider>> providers;
    std::vector<std::unique_ptr<Method>> methods;

    // By name (a provider's exactly, a method's without regard to case); nullptr when none.
    const Provider *provider(const std::string &name) const;
    const Method *method(const std::string &name) const;
};

class ServerObjects {
public:
    // The objects with every provider and method of the table.
    ServerObjects();
    // One more provider on an object (tests; the table's go in server_objects.cpp).
    void add_provider(const std::string &object, std::unique_ptr<Provider> provider);
    void add_method(const std::string &object, std::unique_ptr<Method> method);
    // By name, without regard to case; nullptr when none.
    const ServerObject *find(const std::string &name) const;

private:
    ServerObject &object(const std::string &name);
    std::vector<std::unique_ptr<ServerObject>> objects_;
};

}  // namespace appserver
