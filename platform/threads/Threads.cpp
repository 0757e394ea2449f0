// Placeholder until the worker threads are built.
#include "platform/Threads.h"
