// Compiles kalmo-client's parser for programs built from source paths rather
// than by linking the library (see stream_decoder.h beside this file).
#include "../../client/src/stream_decoder.cpp"
