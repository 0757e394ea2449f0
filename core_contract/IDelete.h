#pragma once
// Root of every object the core can hold or destroy.
#include "sorn_core_export.h"

// Virtual operations, in this order: Delete(), then the destructor.
// Delete() is the core's: it destroys the object through its virtual
// destructor, so an object made in one library can be destroyed by another.
class SORN_CORE_API IDelete {
public:
    virtual void Delete();
    virtual ~IDelete();
};
