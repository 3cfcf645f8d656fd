"""Relations between models beyond the foreign key itself, as far as
declaring a model needs them: model names resolved once the models exist,
the many side a model declares (`ManySide`) and automatic through models.
The descriptors programs use (`Many`, `Reverse`, `ManyToMany`) and their
link writes are queries, in `sarnic.query`; prefetching and running the
writes are in `sarnic.execution`.

Nothing is imported here: `sarnic.fields` re-exports the descriptors and the
model, query and database modules import the parts they use.
"""
