"""The model side: fields, model classes and the relations they declare.

Nothing here imports the query or execution folders; `sarnic.fields` is the
public face of the field types.
"""
