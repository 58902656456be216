#pragma once

#include <cstddef>
#include <cstdint>

// Every limit and timing constant of the installer, each with its unit and why. Contracts in other headers
// name these, never the numbers. What a build may change comes from the CMake cache (see the network waits).

// --- Waiting and polling -----------------------------------------------------------------------------

// ms: how often the main thread dispatches window messages and checks a running fetch. Often enough that
// the progress window answers at once and a stalled fetch is noticed within a slice.
inline constexpr int pollingSliceMs = 50;

// ms: the longest the main thread runs the message loop before it looks again whether a fetch has ended,
// within a polling slice: the end of a fetch is seen this soon rather than a whole slice later.
inline constexpr int dispatchPieceMs = 5;

// ms: how long the wait for a setup program sleeps between draining its output. Short enough that a
// writer never waits long on a full pipe.
inline constexpr int setupProgramWaitSliceMs = 44;

// ms: how long a fetch's worker is waited for once the fetch has ended. A read that a cancel did not end
// by then never will: the worker is abandoned and can no longer touch the file.
inline constexpr int fetchAbandonAfterMs = 3000;

// ms: the one plain connection that tells support why a fetch got no HTTP response.
inline constexpr int noResponseProbeTimeoutMs = 2000;

// --- The network -------------------------------------------------------------------------------------

// The network waits differ between installer variants built in one tree, so they are functions that each
// variant compiles with its own values (retrieval/NetworkLimits.cpp), fed by the CMake cache:
// NETWORK_STALL_LIMIT_MS and CATALOGUE_TIME_LIMIT_MS for the installer, LOOPBACK_STALL_LIMIT_MS and
// LOOPBACK_CATALOGUE_TIME_LIMIT_MS for the variant the tests run.

// ms: one request's connection and response headers together; and a body that brings fewer than
// minBytesPerStall bytes in this long. A server that stops answering must not hold the run.
int networkStallLimitMs();

// ms: the whole catalogue fetch, redirects included. The catalogue is small; a slow one is a broken one.
int catalogueTimeLimitMs();

// bytes: the least a body must bring per stall limit to count as moving (1 KiB: a trickle is a stall).
inline constexpr int minBytesPerStall = 1024;

// redirects followed for one fetch; the next one fails it (a loop must end, and browsers stop near here).
inline constexpr int maxRedirects = 5;

// bytes: the largest catalogue read; a longer body, announced or counted, is refused. Today's catalogue is
// a few kilobytes: this is room for decades of models, and a bound on what the parser is handed.
inline constexpr long long maxCatalogueBytes = 8 * 1024 * 1024;

// bytes: the smallest and largest read of a response body. The smallest is the stall rule's unit; the
// largest keeps the curl reader from moving its whole buffer forward on every read.
inline constexpr int smallestBodyRead = 1024;
inline constexpr int largestBodyRead = 2 * 1024 * 1024;

// ms: reads are sized to finish about this often, so the window's count moves on a slow link too.
inline constexpr int aimedBodyReadMs = 100;

// --- The catalogue -----------------------------------------------------------------------------------

// elements: the deepest nesting a catalogue may have. A catalogue is a root with a flat list of entries;
// anything deeper is not one, and has always been refused.
inline constexpr int maxCatalogueNesting = 64;

// attributes on one element. An entry has four; a document with hundreds is not a catalogue.
inline constexpr int maxCatalogueAttributesPerElement = 256;

// bytes: the longest signature comment read (from "<!--" to "-->"). A P-256 signature in base64 takes
// under 100 characters, so anything longer is not one of ours and is refused before it is decoded.
inline constexpr std::size_t maxSignatureCommentBytes = 1024;

// bytes of text handed to the XML parser at a time (its length parameter is an int).
inline constexpr std::size_t catalogueParseSliceBytes = 1 << 20;

// --- Files -------------------------------------------------------------------------------------------

// bytes: one read of a file being hashed, and one read or write of an entry being unpacked.
inline constexpr std::size_t hashReadBytes = 1024 * 1024;
inline constexpr std::size_t zipCopyChunkBytes = 256 * 1024;

// bytes: how far back from an archive's end its end record is looked for: the longest zip comment
// (65535 bytes) with room for data appended after the archive (the framework looked back 1 MB).
inline constexpr long long zipEndSearchBytes = 1024 * 1024 + 22;

// tries at a random name (a downloaded file, a folder moved aside) before giving up: a clash is already
// unlikely once, so a few tries tell an attack from chance.
inline constexpr int attemptsPerRandomName = 4;

// folder levels below the working folder that emptying it goes into. A package is a few levels deep;
// deeper trees are someone else's, and an end keeps the descent bounded.
inline constexpr int deepestEmptiedTree = 256;

// UTF-16 units: the longest part of an entry's path. NTFS and FAT keep names of at most 255; a longer one
// could not be unpacked, so the package is refused before anything is written.
inline constexpr int maxEntryNamePartChars = 255;

// UTF-16 units: the longest full path of a file unpacked: MAX_PATH (260) less its terminating zero. Windows
// opens longer paths only where a machine-wide policy allows them, and the setup program is started by its
// path: a package that goes past it is refused before anything is written, in every build alike.
inline constexpr int maxUnpackedFilePathChars = 259;

// UTF-16 units: the longest full path of a folder made while unpacking. Windows makes folders only where
// MAX_PATH keeps room for an 8.3 name below them (248 with the terminating zero).
inline constexpr int maxUnpackedFolderPathChars = 247;

// --- The setup program -------------------------------------------------------------------------------

// bytes: one read of the setup program's output while it runs; output is drained, never kept. Windows
// reads what the framework's pipe holds (4 KiB), so a full read there means more is waiting.
inline constexpr int setupOutputReadBytesPosix = 16384;
inline constexpr int setupOutputReadBytesWindows = 4096;

// descriptors above the standard three that the child marks close-on-exec before it runs the setup
// program: a bound on the walk for systems with a huge descriptor limit.
inline constexpr long maxDescriptorsMarked = 65536;

// --- USB devices -------------------------------------------------------------------------------------

// characters: room for one instance id with its terminating zero; Windows keeps ids far shorter.
inline constexpr std::uint32_t instanceIdBufferSize = 4000;

// consecutive failures of the device enumeration after which no further element will come.
inline constexpr int maxConsecutiveEnumFailures = 256;

// --- The run log -------------------------------------------------------------------------------------

// logs kept in the log folder: enough for support to see a few attempts, bounded so the folder stays small.
inline constexpr int runLogsKept = 10;

// bytes of one run's log: a run logs a few kilobytes; a hostile server must not fill the disk.
inline constexpr long long runLogByteLimit = 1024 * 1024;

// bytes kept free below runLogByteLimit for the note that the log is full and the exit line.
inline constexpr long long runLogExitLineReserve = 4096;

// characters of one text from outside kept on a log line.
inline constexpr int outsideTextLimit = 300;

// the highest suffix of a log's name ("-2" to "-9") when runs start in the same second.
inline constexpr int lastRunLogSuffix = 9;
