"""The field types, one family a file; `sarnic.fields` is their public face."""
