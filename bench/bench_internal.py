"""GetListFromAny against tk.splitlist, DictionaryCompare against lsort."""

import functools
import random
import string
import tkinter

from harness import Table

from trivex.tcl.internal import DictionaryCompare, GetListFromAny

WORDS = ["plain", "two words", "{brace}", "back\\slash", "", "$x", "[cmd]", 'q"uote', "tab\there", "\u00fcn\u00ef"]


def main():
    tk = tkinter.Tcl().tk
    text_tk = tkinter.Tcl().tk
    text_tk.wantobjects(False)
    small = text_tk.call("list", *WORDS)
    big = text_tk.call("list", *(WORDS[i % len(WORDS)] + str(i) for i in range(1000)))
    assert GetListFromAny(small) == tk.splitlist(small) and GetListFromAny(big) == tk.splitlist(big)

    t = Table("internal: list splitting and dictionary order")
    t.compare("GetListFromAny(10-element list text)", lambda: GetListFromAny(small),
              "tk.splitlist (same text)", lambda: tk.splitlist(small), 1.2)
    t.compare("GetListFromAny(1000-element list text)", lambda: GetListFromAny(big),
              "tk.splitlist (same text)", lambda: tk.splitlist(big), 1.2)

    rnd = random.Random(5000)
    alphabet = string.ascii_letters + string.digits * 2 + "_-. "
    mixed = ["".join(rnd.choice(alphabet) for _ in range(rnd.randint(1, 12))) for _ in range(5000)]
    key = functools.cmp_to_key(DictionaryCompare)
    assert tuple(sorted(mixed, key=key)) == tk.call("lsort", "-dictionary", tuple(mixed))
    t.compare("sorted(5000 mixed, key=cmp_to_key(DictionaryCompare))", lambda: sorted(mixed, key=key),
              "tk.call('lsort', '-dictionary', ...)", lambda: tk.call("lsort", "-dictionary", mixed))
    t.print()


if __name__ == "__main__":
    main()
