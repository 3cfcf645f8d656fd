#pragma once
// Decoding for the statement entry points: the model list, and a statement
// document that is either version 4 or a version-3 query, told apart by its
// "version" before anything else is read.
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "codec/format.hpp"
#include "core/arena.hpp"
#include "core/ir.hpp"
#include "core/metadata.hpp"
#include "core/statement.hpp"
#include "core/tape.hpp"

namespace sarnic::codec {

//! An array of model metadata documents, each read as decode_metadata reads one.
std::expected<std::span<const ModelMetadata>, std::string> decode_models(Format format, std::string_view input,
                                                                        Arena& arena, Tape& scratch);

struct StatementDocument {
  bool version_4 = false;
  QuerySetIR query;     //!< !version_4
  Statement statement;  //!< version_4
};

std::expected<StatementDocument, std::string> decode_statement_document(Format format, std::string_view input,
                                                                       Arena& arena, Tape& scratch);

namespace detail {
class Decoder;
bool decode_statement(Decoder& d, std::uint32_t i, Statement& out);
//! The top-level "version" of a document on the tape, when it is a plain unsigned integer.
std::optional<std::uint64_t> peek_version(const Tape& tape);
}  // namespace detail

}  // namespace sarnic::codec
