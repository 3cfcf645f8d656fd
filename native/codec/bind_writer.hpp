#pragma once
// Bind values back onto the wire: compact JSON text per value, and one
// MessagePack array of named maps for a whole parameter list.
#include <span>
#include <string>

#include "core/bind_value.hpp"

namespace sarnic::codec {

//! Appends {"type":...,"value":...} with no blanks; NaN and infinities as null;
//! doubles in their shortest round-trip form, integral ones keeping ".0".
void write_bind_json(std::string& out, const BindValue& value);

//! Appends one MessagePack array of {"type","value"} maps: shortest integers,
//! float64 always, shortest string headers, bytes as an array of integers.
void write_bind_list_msgpack(std::string& out, std::span<const BindValue> values);

}  // namespace sarnic::codec
