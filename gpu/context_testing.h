// Test-only view of the context's release accounting: device blocks and streams
// whose free or destroy failed on its retry too. Such a block is never freed
// again (the device may have reused the address); it is counted instead.
#pragma once

namespace cudanrtest {

int lostBuffers();
int lostStreams();

}  // namespace cudanrtest
