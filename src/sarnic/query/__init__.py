"""Queries and expressions: what a program asks of its models, as values,
and what the core compiles them to. Built on the model side; knows nothing
of databases or drivers."""
