// The packet stream decoder is kalmo-client's parser (client/src/); this
// forwarding header serves the programs still built from source paths
// rather than by linking the library (the Windows test parent, until it
// moves onto kalmo-client).
#pragma once
#include "../../client/src/stream_decoder.h"
