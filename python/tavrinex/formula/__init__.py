"""Formulas: tokenizer, translator and formula value classes (in progress)."""


class TokenizerError(Exception):
    """A formula that cannot be tokenized."""


class TranslatorError(Exception):
    """A formula that cannot be moved to another cell."""


class Translator:
    def __init__(self, formula, origin):
        raise NotImplementedError("formula translation is being written")


class ArrayFormula:
    def __init__(self, ref, text=None):
        self.ref = ref
        self.text = text


class DataTableFormula:
    def __init__(self, **attributes):
        self.__dict__.update(attributes)
