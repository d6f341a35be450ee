"""Formulas: the tokenizer, the translator that moves shared formulas, and
the array and data-table formula values."""

from tavrinex.formula.tokenizer import Token, Tokenizer, TokenizerError
from tavrinex.formula.translate import Translator, TranslatorError
from tavrinex.formula.values import ArrayFormula, DataTableFormula

__all__ = ["ArrayFormula", "DataTableFormula", "Token", "Tokenizer", "TokenizerError",
           "Translator", "TranslatorError"]
