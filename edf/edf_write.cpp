// Writing half of the recording-file module: opening for writing, setters, the header, sample
// writers, time-keeping annotations and closing.
#include "edf/edf_internal.h"

int edf_close_writing(int handle)
{
    return edf_release_slot(handle);
}
