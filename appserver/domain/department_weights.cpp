#include "department_weights.h"

#include "contract.h"

namespace appserver {

void create_weights_table(Connection &db)
{
    db.run(std::string("CREATE TABLE IF NOT EXISTS ") + kWeightsTable +
           " (CKDM00 VARCHAR(2) NOT NULL, RYDM00 VARCHAR(4) NOT NULL, QZ0000 DOUBLE PRECISION NOT NULL, "
           "PRIMARY KEY (CKDM00, RYDM00))");
}

allocation::Weights read_weights(Connection &db, const std::string &department)
{
    allocation::Weights weights;
    const auto rows =
        db.run(std::string("SELECT RYDM00,QZ0000 FROM ") + kWeightsTable + " WHERE CKDM00=? ORDER BY RYDM00", {department})
            .packet.rows;
    for (const auto &r : rows) weights[wire::value_to_text(r.at(0))] = wire::value_to_double(r.at(1));
    return weights;
}

void save_weights(Connection &db, int &savepoints, const std::string &department, const allocation::Weights &weights)
{
    std::vector<std::string> everyone;
    for (const auto &[code, w] : weights) everyone.push_back(code);
    if (auto refusal = allocation::weights_refusal(weights, everyone))
        throw ServerError(ServerError::Kind::Database, *refusal, contract::error::kAllocationRefused);
    const bool own = !db.in_transaction();
    const std::string savepoint = "weights_" + std::to_string(++savepoints);
    if (own) db.begin_write();
    else db.savepoint(savepoint);
    try {
        db.run(std::string("DELETE FROM ") + kWeightsTable + " WHERE CKDM00=?", {department});
        for (const auto &[code, w] : weights)
            db.run(std::string("INSERT INTO ") + kWeightsTable + " (CKDM00,RYDM00,QZ0000) VALUES (?,?,?)",
                   {department, code, w});
        if (own) db.commit();
        else db.release_savepoint(savepoint);
    } catch (...) {
        try {
            if (own) db.rollback();
            else db.rollback_to_savepoint(savepoint);
        } catch (const ServerError &) {
        }
        throw;
    }
}

}  // namespace appserver
