// The one place the interpreter's headers enter the build. Everything under src/index and
// src/python includes this instead of Python.h, so a file's includes show whether it may talk
// to the interpreter; nothing under src/native may.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
