#pragma once
// Statement emitters, one per operation, and the dispatcher that picks one.
// Each emitter runs the compile driver first and writes nothing on failure.
#include <string>
#include <string_view>

#include "core/compiled_query.hpp"
#include "core/error.hpp"
#include "core/ir.hpp"
#include "core/metadata.hpp"
#include "sql/dialect.hpp"

namespace sarnic {

CompileResult<CompiledQuery> emit_select(Dialect dialect, const ModelMetadata& metadata, const QuerySetIR& ir);
CompileResult<CompiledQuery> emit_insert(Dialect dialect, const ModelMetadata& metadata, const QuerySetIR& ir);
CompileResult<CompiledQuery> emit_update(Dialect dialect, const ModelMetadata& metadata, const QuerySetIR& ir);
CompileResult<CompiledQuery> emit_delete(Dialect dialect, const ModelMetadata& metadata, const QuerySetIR& ir);
CompileResult<CompiledQuery> emit_bulk_insert(Dialect dialect, const ModelMetadata& metadata, const QuerySetIR& ir);
CompileResult<CompiledQuery> emit_bulk_update(Dialect dialect, const ModelMetadata& metadata, const QuerySetIR& ir);
CompileResult<CompiledQuery> emit_bulk_delete(Dialect dialect, const ModelMetadata& metadata, const QuerySetIR& ir);

//! Every model column quoted, in metadata order, joined with ", ".
void returning_all_fields(std::string& out, Dialect dialect, std::span<const FieldMeta> fields);
//! The same list with "INSERTED." before each quoted column.
void output_inserted_fields(std::string& out, Dialect dialect, std::span<const FieldMeta> fields);
//! " OUTPUT INSERTED...." on SQL Server, which hands written rows back that way; nothing elsewhere.
void append_output_clause(std::string& out, Dialect dialect, const ModelMetadata& metadata);
//! " RETURNING ..." where the dialect has it (PostgreSQL, SQLite); nothing elsewhere.
void append_returning_clause(std::string& out, Dialect dialect, const ModelMetadata& metadata);
//! False on MySQL, which has no "DEFAULT VALUES" and takes "() VALUES ()" instead.
bool has_default_values(Dialect dialect);

//! The projection alias of a joined column, "<alias>__<column>", double-quoted
//! in every dialect.
void append_projection_alias(std::string& out, Dialect dialect, std::string_view alias, std::string_view column);
//! "SELECT EXISTS(" and its close; SQL Server writes a CASE instead.
void open_exists(std::string& out, Dialect dialect);
void close_exists(std::string& out, Dialect dialect);

struct DispatchedQuery {
  CompiledQuery query;
  std::string_view operation;  //!< "select", "insert", ..., "bulk_delete"
};

//! Parses the dialect name (unknown: MalformedIr "unknown dialect ...") and
//! runs the emitter of the IR's operation.
CompileResult<DispatchedQuery> dispatch_compile(const ModelMetadata& metadata, const QuerySetIR& ir,
                                                std::string_view dialect);

}  // namespace sarnic
