// The one writer state of the module. Every member starts out zero except the
// options list, which holds the address of the compression options from the
// start, in the form that the compression dialog takes.
#include "writer_state.h"

WriterState writerState = {nullptr, nullptr, nullptr, 0, 0, {}, {}, {&writerState.compressOptions}};
