"""Data validation: what a range of cells accepts, with the prompt shown
on entry and the message shown for a value it refuses."""

from __future__ import annotations

from typing import Any
from xml.etree import ElementTree as ET

from tavrinex.utils.elements import flag, local, new, sub
from tavrinex.utils.ranges import multi_range

TYPES = frozenset(("whole", "decimal", "list", "date", "time", "textLength", "custom"))
OPERATORS = frozenset(("between", "notBetween", "equal", "notEqual", "greaterThan", "lessThan",
                       "greaterThanOrEqual", "lessThanOrEqual"))
ERROR_STYLES = frozenset(("stop", "warning", "information"))
LIST_LIMIT = 255   # characters of a literal list, commas included
# (attribute, limit in characters) of the texts
_TEXTS = (("prompt_title", 32), ("prompt", 255), ("error_title", 32), ("error", 225))
_FLAGS = ("allow_blank", "show_dropdown", "show_input_message", "show_error_message")
_XML = {"allow_blank": "allowBlank", "prompt_title": "promptTitle", "error_title": "errorTitle",
        "error_style": "errorStyle", "show_input_message": "showInputMessage",
        "show_error_message": "showErrorMessage", "prompt": "prompt", "error": "error",
        "type": "type", "operator": "operator"}
FIELDS = ("type", "operator", "formula1", "formula2", "ranges", "allow_blank", "show_dropdown",
          "prompt_title", "prompt", "error_title", "error", "error_style",
          "show_input_message", "show_error_message")


def _formula(value: Any, what: str) -> str | None:
    if value is None:
        return None
    if isinstance(value, bool):
        raise TypeError(f"{what} is a formula text or a number, not {value!r}")
    if isinstance(value, (int, float)):
        return repr(value) if isinstance(value, float) else str(value)
    if not isinstance(value, str) or not value.strip("= "):
        raise ValueError(f"{what} is a formula text or a number, not {value!r}")
    return value[1:] if value.startswith("=") else value


class DataValidation:
    """What the cells of `ranges` accept: values of `type` (None: any
    value) that meet `operator` with `formula1` (and `formula2` for
    "between" and "notBetween"); a "list" takes its choices from
    `formula1` (a range, or a literal list made by `from_list`).
    `show_dropdown` shows the list's arrow in the cell."""

    def __init__(self, type: str | None = None, operator: str = "between",
                 formula1: Any = None, formula2: Any = None, ranges: Any = "A1",
                 allow_blank: bool = True, show_dropdown: bool = True,
                 prompt_title: str | None = None, prompt: str | None = None,
                 error_title: str | None = None, error: str | None = None,
                 error_style: str = "stop", show_input_message: bool = True,
                 show_error_message: bool = True) -> None:
        self.extra: dict[str, str] = {}       # attributes of a file the model does not name
        self.children: list[ET.Element] = []  # children of a file the model does not name
        self._checking = False
        self.type = type
        self.operator = operator
        self.formula1 = formula1
        self.formula2 = formula2
        self.ranges = ranges
        self.allow_blank = allow_blank
        self.show_dropdown = show_dropdown
        self.prompt_title = prompt_title
        self.prompt = prompt
        self.error_title = error_title
        self.error = error
        self.error_style = error_style
        self.show_input_message = show_input_message
        self.show_error_message = show_error_message
        self._checking = True
        self.check()

    def __setattr__(self, name: str, value: Any) -> None:
        if name == "type" and value is not None and value not in TYPES:
            raise ValueError(f"a validation type is None or one of {', '.join(sorted(TYPES))}, "
                             f"not {value!r}")
        if name == "operator" and value not in OPERATORS:
            raise ValueError(f"a validation operator is one of {', '.join(sorted(OPERATORS))}, "
                             f"not {value!r}")
        if name == "error_style" and value not in ERROR_STYLES:
            raise ValueError(f"an error style is one of {', '.join(sorted(ERROR_STYLES))}, "
                             f"not {value!r}")
        if name in ("formula1", "formula2"):
            value = _formula(value, f"DataValidation.{name}")
        if name == "ranges":
            value = multi_range(value, "a validation's ranges")
        if name in _FLAGS and not isinstance(value, bool):
            raise TypeError(f"DataValidation.{name} is True or False, not {value!r}")
        for text, limit in _TEXTS:
            if name == text and value is not None:
                if not isinstance(value, str):
                    raise TypeError(f"DataValidation.{name} is a str, not {type(value).__name__}")
                if len(value) > limit:
                    raise ValueError(f"DataValidation.{name} holds at most {limit} characters, "
                                     f"not {len(value)}")
        object.__setattr__(self, name, value)
        if name in ("type", "operator", "formula1", "formula2") and self.__dict__.get("_checking"):
            self.check()

    def check(self) -> None:
        """ValueError when the type needs a formula it does not have."""
        if self.type is None:
            return
        if self.formula1 is None:
            raise ValueError(f"a {self.type!r} validation needs formula1")
        if self.type not in ("list", "custom") and self.operator in ("between", "notBetween") \
                and self.formula2 is None:
            raise ValueError(f"a {self.type!r} validation with operator {self.operator!r} "
                             "needs formula2")

    @classmethod
    def from_list(cls, values: Any, ranges: Any = "A1", **options: Any) -> DataValidation:
        """A "list" validation offering `values` (texts or numbers), which
        together may take at most 255 characters, commas included."""
        if isinstance(values, str) or not hasattr(values, "__iter__"):
            raise TypeError(f"from_list takes a list of values, not {values!r}")
        items = []
        for value in values:
            if isinstance(value, bool) or not isinstance(value, (str, int, float)):
                raise TypeError(f"list choices are texts or numbers, not {value!r}")
            text = value if isinstance(value, str) else str(value)
            if "," in text:
                raise ValueError(f"list choice {text!r} holds a comma, which separates choices")
            items.append(text)
        if not items:
            raise ValueError("a list validation offers at least one choice")
        joined = ",".join(items)
        if len(joined) > LIST_LIMIT:
            raise ValueError(f"a literal list holds at most {LIST_LIMIT} characters, commas "
                             f"included, not {len(joined)}; put the choices in cells and give "
                             "their range as formula1")
        return cls("list", formula1='"' + joined.replace('"', '""') + '"', ranges=ranges,
                   **options)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, DataValidation):
            return NotImplemented
        return all(getattr(self, f) == getattr(other, f) for f in FIELDS)

    __hash__ = None  # type: ignore[assignment]

    def snapshot(self) -> tuple[Any, ...]:
        return tuple(getattr(self, f) for f in FIELDS)

    def __repr__(self) -> str:
        defaults = _DEFAULTS
        parts = [f"{f}={getattr(self, f)!r}" for f in FIELDS
                 if getattr(self, f) != defaults.get(f)]
        return f"DataValidation({', '.join(parts)})"

    # -- elements

    def element(self) -> ET.Element:
        el = new("dataValidation")
        if self.type is not None:
            el.set("type", self.type)
        if self.error_style != "stop":
            el.set("errorStyle", self.error_style)
        if self.operator != "between":
            el.set("operator", self.operator)
        for name in ("allow_blank", "show_input_message", "show_error_message"):
            if getattr(self, name):
                el.set(_XML[name], "1")
        if not self.show_dropdown:
            el.set("showDropDown", "1")   # the attribute hides the arrow
        for name in ("error_title", "error", "prompt_title", "prompt"):
            if getattr(self, name) is not None:
                el.set(_XML[name], getattr(self, name))
        el.attrib.update(self.extra)
        el.set("sqref", self.ranges)
        for name in ("formula1", "formula2"):
            formula = getattr(self, name)
            if formula is not None:
                sub(el, name).text = formula
        el.extend(self.children)
        return el

    @classmethod
    def from_element(cls, el: ET.Element) -> DataValidation:
        made = object.__new__(cls)
        values: dict[str, Any] = {name: el.get(xml) for name, xml in _XML.items()}
        values["operator"] = values["operator"] or "between"
        values["error_style"] = values["error_style"] or "stop"
        for name in ("allow_blank", "show_input_message", "show_error_message"):
            values[name] = flag(el.get(_XML[name]))
        values["show_dropdown"] = not flag(el.get("showDropDown"))
        values["ranges"] = el.get("sqref", "")
        known = set(_XML.values()) | {"sqref", "showDropDown"}
        object.__setattr__(made, "extra", {k: v for k, v in el.attrib.items() if k not in known})
        children = []
        for name in ("formula1", "formula2"):
            values[name] = None
        for child in el:
            name = local(child.tag)
            if name in ("formula1", "formula2") and values[name] is None:
                values[name] = "".join(child.itertext())
            else:
                children.append(child)
        object.__setattr__(made, "children", children)
        # A second formula counts only where the rule takes one (some
        # programs write a "0" under every list).
        if values["type"] in (None, "list", "custom") or values["operator"] not in (
                "between", "notBetween"):
            values["formula2"] = None
        # Values as the file has them: a file's odd value is kept, not refused.
        for name, value in values.items():
            object.__setattr__(made, name, value)
        object.__setattr__(made, "_checking", True)
        return made


_DEFAULTS: dict[str, Any] = {"type": None, "operator": "between", "formula1": None,
                             "formula2": None, "ranges": "A1", "allow_blank": True,
                             "show_dropdown": True, "prompt_title": None, "prompt": None,
                             "error_title": None, "error": None, "error_style": "stop",
                             "show_input_message": True, "show_error_message": True}
