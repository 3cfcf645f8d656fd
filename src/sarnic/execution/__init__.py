"""Execution: the database and its transactions, the backends and their
drivers, statements made ready for one backend, and fetched rows made into
values and instances."""
