#include "sync/SyncReferenceService.h"
