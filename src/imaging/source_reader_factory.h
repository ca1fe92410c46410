#pragma once

// How the image source manager's pool of network picture readers is built
// (SourceReader, source_reader.h): the engine takes a factory, so tools and
// tests can supply their own readers.

#include <functional>
#include <memory>

#include "vistel/platform/thread.h"

namespace vistel {

class SourceReader;

// Builds one reader of the pool; its threads are started through `starter`.
// May return null (the pool is then one reader short).
using SourceReaderFactory =
    std::function<std::unique_ptr<SourceReader>(const ThreadStarter& starter)>;

}  // namespace vistel
