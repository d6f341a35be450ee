"""read_table: the engine road against the Python road, which decides
every value and type, over generated sheets with every option."""

import pytest
from hypothesis import given, settings

from tavrinex import _native

from tablegen import compare, options, workbooks

pytestmark = pytest.mark.skipif(_native.native is None, reason="the engine is not built")


@given(workbooks(), options())
def test_engine_road_gives_the_python_roads_table(book, kw):
    engine_side, python_side, _ = compare(book, **kw)
    assert engine_side == python_side
