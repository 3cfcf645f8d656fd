"""Relations between models beyond the foreign key itself: model names
resolved once the models exist, the many sides (`Reverse`, `ManyToMany`),
their automatic through models, prefetching and link writes.

Nothing is imported here: `sarnic.fields` re-exports the descriptors and the
model, query and database modules import the parts they use.
"""
