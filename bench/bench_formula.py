"""Moving one shared formula to 100,000 cells: the package's Translator
against the engine's template rendering, as ratios in one run."""


from tavrinex import _probe
from tavrinex.formula import Tokenizer, Translator

import _common

FORMULA = ('=IF(AND($A2>0,B2<>""),SUM(C2:F2)*Sheet2!$B$1+VLOOKUP(A2,Data!A:D,4,FALSE),'
           '0)+\'My Sheet\'!G2%')
ORIGIN = (2, 2)
N = 100_000
REPEAT = 3


def best(fn):
    return _common.best(fn, repeat=REPEAT)


def main():
    rows = range(ORIGIN[0], ORIGIN[0] + N)
    dest_refs = [f"B{r}" for r in rows]
    dest_pairs = [(r, 2) for r in rows]

    translator = Translator(FORMULA, "B2")
    t_host, host = best(lambda: [translator.translate_formula(d) for d in dest_refs])

    t_calls, calls = best(lambda: [_probe.translate(FORMULA, ORIGIN, d) for d in dest_pairs])
    t_many, many = best(lambda: _probe.render_many(FORMULA, ORIGIN, dest_pairs))
    t_block, block = best(lambda: _probe.render_block(FORMULA, ORIGIN, dest_pairs[0], N))

    assert calls == [("ok", text) for text in host] and many == host, "engine and host disagree"
    ok, failed, size, last = block
    assert (ok, failed, size, last) == (N, 0, sum(map(len, host)), host[-1])

    # Tokenizing: every shared formula group is tokenized once.
    texts = [FORMULA.replace("2", str(i)) for i in range(10_000)]
    t_tok_host, _ = best(lambda: [Tokenizer(t).items for t in texts])
    t_tok, _ = best(lambda: [_probe.tokenize(t) for t in texts])

    print(f"formula: {FORMULA}")
    print(f"{N} destinations, best of {REPEAT}")
    print(f"  host Translator.translate_formula  {t_host * 1e3:9.1f} ms")
    print(f"  engine, one probe call per cell     {t_calls * 1e3:9.1f} ms"
          f"  x{t_host / t_calls:6.1f}  (tokenizes each time, Python call overhead)")
    print(f"  engine, one template, str per cell  {t_many * 1e3:9.1f} ms"
          f"  x{t_host / t_many:6.1f}")
    print(f"  engine, rendering only              {t_block * 1e3:9.1f} ms"
          f"  x{t_host / t_block:6.1f}  ({t_block / N * 1e9:.0f} ns per cell)")
    print(f"tokenizing {len(texts)} formulas of this shape")
    print(f"  host Tokenizer                      {t_tok_host * 1e3:9.1f} ms")
    print(f"  engine, one probe call per formula  {t_tok * 1e3:9.1f} ms"
          f"  x{t_tok_host / t_tok:6.1f}  (token tuples built in Python objects)")


if __name__ == "__main__":
    main()
