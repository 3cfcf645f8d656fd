// Picks the emitter for the IR's operation once the dialect name is known.
#include <string>

#include "sql/emit.hpp"

namespace sarnic {
namespace {

[[gnu::cold, gnu::noinline]] CompileError unknown_dialect(std::string_view name) {
  std::string message = "unknown dialect ";
  message += quoted_form(name);
  message += "; expected postgres, mysql, sqlite, or mssql";
  return malformed_ir(std::move(message));
}

CompileResult<CompiledQuery> run_emitter(OperationKind kind, Dialect dialect, const ModelMetadata& metadata,
                                         const QuerySetIR& ir) {
  switch (kind) {
    case OperationKind::Select: return emit_select(dialect, metadata, ir);
    case OperationKind::Insert: return emit_insert(dialect, metadata, ir);
    case OperationKind::Update: return emit_update(dialect, metadata, ir);
    case OperationKind::Delete: return emit_delete(dialect, metadata, ir);
    case OperationKind::BulkInsert: return emit_bulk_insert(dialect, metadata, ir);
    case OperationKind::BulkUpdate: return emit_bulk_update(dialect, metadata, ir);
    case OperationKind::BulkDelete: return emit_bulk_delete(dialect, metadata, ir);
  }
  internal_fault("operation kind out of range");
}

}  // namespace

CompileResult<DispatchedQuery> dispatch_compile(const ModelMetadata& metadata, const QuerySetIR& ir,
                                                std::string_view dialect_name) {
  std::optional<Dialect> dialect = Dialect::parse(dialect_name);
  if (!dialect) return std::unexpected(unknown_dialect(dialect_name));
  OperationKind kind = operation_kind(ir.operation);
  CompileResult<CompiledQuery> compiled = run_emitter(kind, *dialect, metadata, ir);
  if (!compiled) return std::unexpected(std::move(compiled.error()));
  return DispatchedQuery{std::move(*compiled), operation_name(kind)};
}

}  // namespace sarnic
