/* An application that embeds CPython and starts it again after finalising
 * it: each round initialises the interpreter, imports tarnwick from the
 * build folder given as argv[1], makes and drops an Err, a thousand Justs
 * and a deep chain, and finalises. Exit status 0 when every round ran. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdio.h>

static const char *round_code =
    "import tarnwick\n"
    "R, M = tarnwick.Result, tarnwick.MayBe\n"
    "e = R.err('bad input', 'E42', {'k': [1]})\n"
    "assert e.unwrap_err()[0] == 'bad input'\n"
    "justs = [M.just(i) for i in range(1000)]\n"
    "assert sum(j.unwrap() for j in justs) == 499500\n"
    "assert R.ok(2).map(lambda v: v * 3).unwrap() == 6 and repr(M.nothing()) == 'Nothing'\n"
    "chain = R.ok(0)\n"
    "for _ in range(10000):\n"
    "    chain = M.just(chain)\n"
    "del chain\n"
    "keep = R.ok(justs)\n";  /* still alive when the runtime finalises */

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s BUILD_DIR\n", argv[0]);
        return 2;
    }
    for (int round = 1; round <= 3; ++round) {
        Py_Initialize();
        PyObject *sys_path = PySys_GetObject("path");
        PyObject *dir = PyUnicode_DecodeFSDefault(argv[1]);
        if (sys_path == NULL || dir == NULL || PyList_Insert(sys_path, 0, dir) < 0) {
            PyErr_Print();
            return 1;
        }
        Py_DECREF(dir);
        if (PyRun_SimpleString(round_code) != 0) {
            fprintf(stderr, "round %d failed\n", round);
            return 1;
        }
        if (Py_FinalizeEx() < 0) {
            fprintf(stderr, "round %d: finalisation failed\n", round);
            return 1;
        }
        printf("round %d ok\n", round);
    }
    return 0;
}
