#include "records_sink.h"

#include <nlohmann/json.hpp>

#include "contract.h"

namespace appserver {

TextSink::TextSink(std::function<void(std::string &)> emit, std::size_t chunk)
    : emit_(std::move(emit)), chunk_(chunk), writer_(out_)
{
}

TextSink::~TextSink() = default;

// Hands what is ready to emit once it is a chunk (or, when asked, any size).
void TextSink::flush(bool at_any_size)
{
    if (out_.size() < (at_any_size ? 1 : chunk_)) return;
    emit_(out_);
    out_.clear();
    out_.reserve(chunk_ + chunk_ / 4);  // one buffer a piece, not one growing from nothing
}

void TextSink::begin(const std::vector<wire::FieldDef> &fields)
{
    out_.reserve(chunk_ + chunk_ / 4);
    writer_.begin(fields);
}

void TextSink::row_id(wire::RowId id)
{
    writer_.row_id(id);
    flush();
}

void TextSink::identities_done()
{
    // Many identities mean a large answer: they go out at once, to be read
    // while the rows are being fetched.
    if (out_.size() >= kEarlyIdentities) flush(true);
}

void TextSink::row(std::span<const wire::Value> values)
{
    writer_.row(values);
    flush();
}

void TextSink::detail(const std::string &name, wire::DataPacket &&packet)
{
    writer_.detail(name, packet);
    flush();
}

void TextSink::end() { writer_.end(); }

void TextSink::packet(wire::DataPacket &&packet) { out_ = wire::packet_to_text(packet); }

void TextSink::current(const std::string &version)
{
    out_ = nlohmann::json{{contract::kCurrentKey, true}, {contract::kVersionKey, version}}.dump();
}

}  // namespace appserver
