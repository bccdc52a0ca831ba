"""nanobind's stub generator, taught that the native classes keep their methods as instance-method
wrappers (so that instances hand out Python's own bound methods): such a member is written as the
method it wraps, with `self` left unannotated as in any Python class."""
import re
import sys

import nanobind.stubgen as stubgen

_generic_put = stubgen.StubGen.put
_SELF = re.compile(r"\(self: object \| None(, )?")
# The wrapped function is a plain native function, which the generator takes for a static method.
_STATIC_SELF = re.compile(r"^[ \t]*@staticmethod\n([ \t]*def \w+\(self: object \| None)", re.M)


def _put(self, value, name=None, parent=None):
    if type(value).__name__ == "instancemethod":
        value = value.__func__
    return _generic_put(self, value, name, parent)


def main(argv):
    stubgen.StubGen.put = _put
    stubgen.main(argv)
    out = argv[argv.index("-o") + 1]
    with open(out, encoding="utf-8") as f:
        text = f.read()
    with open(out, "w", encoding="utf-8") as f:
        text = _STATIC_SELF.sub(r"\1", text)
        f.write(_SELF.sub(lambda m: "(self" + (m.group(1) or ""), text))


if __name__ == "__main__":
    main(sys.argv[1:])
