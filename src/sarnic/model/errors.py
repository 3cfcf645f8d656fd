"""`DeclarationError`: a model class that cannot be declared as written. Its
own file, so that what declaring reads (the models by name) can raise it."""


class DeclarationError(TypeError):
    pass
