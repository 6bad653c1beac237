// Compiled as part of the formula layer, which sits below the function library: this include must fail.
#include "functions/function_library.h"
