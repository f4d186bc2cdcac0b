// Memory from the process heap. A request that cannot be met is not returned
// to the caller: it ends the process with the "Out of memory" report.
#pragma once

void* AllocateMemory(unsigned size);
void ReleaseMemory(void* block);
