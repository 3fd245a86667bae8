/* An embedding program that initializes Python, uses _tamarind, finalizes,
 * and does it all again: every round must import the module afresh and get
 * the same digests, working classes and a working PanicException. Exits 0
 * when all rounds pass; any Python error is printed and fails the run. */

#include <Python.h>
#include <stdio.h>

#define ROUNDS 3

/* Digests of b"abc" (the command-line examples of the README). */
static const char ROUND[] =
    "import sys, _tamarind\n"
    "assert _tamarind.ZcashPedersen().hash(b'abc').hex() == "
    "'f4bc2534dbc9d45f99339681921cc251886b44ff0de0259f31f35858937ecc3d'\n"
    "assert _tamarind.CircomPedersen().hash(b'abc').hex() == "
    "'7f9fdf1e8fbd4dbbacb1c28341caf3a95e50a523aeb51281c2fbcd517488708a'\n"
    "assert _tamarind.BabyJubjubPedersen(4, 64).hash(b'abc').hex() == "
    "'0b7ca520d4c5504fe52415a854a93902dda7330231c5a88ee3e93d14263b531d'\n"
    "assert _tamarind.JubjubBoweHopwood(4, 63).hash(b'abc').hex() == "
    "'3df717886b12716da11684030df8d9aad73867786b35ed0390e791bf6d1e5248'\n"
    "assert _tamarind.__all__ == ['BabyJubjubPedersen', 'JubjubBoweHopwood', 'CircomPedersen', 'ZcashPedersen']\n"
    "try:\n"
    "    _tamarind.JubjubBoweHopwood(1, 3).hash(b'\\0\\0')\n"
    "    raise AssertionError('no capacity fault')\n"
    "except BaseException as fault:\n"
    "    assert type(fault).__name__ == 'PanicException', repr(fault)\n"
    "if sys.version_info >= (3, 10):\n"
    "    try:\n"
    "        _tamarind.CircomPedersen.hash = None\n"
    "        raise AssertionError('the class is mutable')\n"
    "    except TypeError:\n"
    "        pass\n";

int main(void) {
    for (int round = 1; round <= ROUNDS; ++round) {
        Py_Initialize();
        const int failed = PyRun_SimpleString(ROUND);
        if (Py_FinalizeEx() != 0 || failed != 0) {
            fprintf(stderr, "round %d of %d failed\n", round, ROUNDS);
            return 1;
        }
        printf("round %d of %d: imported, hashed, finalized\n", round, ROUNDS);
    }
    return 0;
}
