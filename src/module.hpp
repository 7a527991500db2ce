// Module entry: the exported init function and the module definition.
#pragma once

#include "binding.hpp"

PyMODINIT_FUNC PyInit_tarnwick(void);
