#include "sync/SyncReferenceService.h"
int main() { return 0; }
