// The two places a records answer goes: rows collected into a packet (the
// in-process link), or the packet's text written as the rows come (HTTP).
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "provider.h"

namespace appserver {

class PacketSink final : public RecordsSink {
public:
    void begin(const std::vector<wire::FieldDef> &fields) override { packet_.fields = fields; }
    void row_id(wire::RowId id) override { packet_.row_ids.push_back(id); }
    void row(std::span<const wire::Value> values) override { packet_.rows.emplace_back(values.begin(), values.end()); }
    void detail(const std::string &name, wire::DataPacket &&packet) override { packet_.details[name] = std::move(packet); }
    void end() override {}
    void packet(wire::DataPacket &&packet) override { packet_ = std::move(packet); }
    void version(const std::string &version) override { packet_.version = version; }
    void current(const std::string &version) override
    {
        packet_ = wire::DataPacket{};
        packet_.current = true;
        packet_.version = version;
    }
    wire::DataPacket take() { return std::move(packet_); }

private:
    wire::DataPacket packet_;
};

// The packet's text (wire::PacketWriter: byte for byte the text of the JSON
// tree): each time about `chunk` bytes are ready, emit is handed them and
// may take them (the text passed is cleared after it returns); take() gives
// what remains at the end. Identities that take kEarlyIdentities or more go
// out as soon as they are all there, so that the client reads them while the
// rows are read. An answer given whole (packet) is kept whole.
class TextSink final : public RecordsSink {
public:
    TextSink(std::function<void(std::string &)> emit, std::size_t chunk);
    ~TextSink() override;
    void begin(const std::vector<wire::FieldDef> &fields) override;
    void row_id(wire::RowId id) override;
    void identities_done() override;
    void row(std::span<const wire::Value> values) override;
    void detail(const std::string &name, wire::DataPacket &&packet) override;
    void end() override;
    void packet(wire::DataPacket &&packet) override;
    void version(const std::string &version) override { writer_.version(version); }
    void current(const std::string &version) override;
    std::string take() { return std::move(out_); }

    // About 2,000 identities: the rows to come are far over 64 KiB.
    static constexpr std::size_t kEarlyIdentities = 16 * 1024;

private:
    void flush(bool at_any_size = false);
    std::function<void(std::string &)> emit_;
    std::size_t chunk_;
    std::string out_;
    wire::PacketWriter writer_;
};

}  // namespace appserver
