"""Relations between models beyond the foreign key itself: model names
resolved once the models exist, the many sides (`Reverse`, `ManyToMany`) and
their automatic through models. Prefetching and link writes run on a
database, so they live in `sarnic.execution`.

Nothing is imported here: `sarnic.fields` re-exports the descriptors and the
model, query and database modules import the parts they use.
"""
