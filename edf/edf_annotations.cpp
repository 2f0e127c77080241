// User annotations of files open for writing: the queue and its placement at close.
#include "edf/edf_internal.h"
