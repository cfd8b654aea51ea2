// Crash points of the result road: a piece of the box's work runs in a child process that
// stops before the k-th file operation of the road (the platform layer's fs_* calls),
// either as a kill or as a power cut; the test then starts the box again from the disk as
// the child left it and looks at what reached the share.
//
// The power cut, as modelled here, acts on the directories of the box's own disk that the
// test names (the share is another machine, which keeps what it was given):
// - a file's bytes are those it had at its last fsync (or when the run began): whatever
//   was written since is lost, so a file created and never flushed comes back empty;
// - a directory's entries are those it had at its last fsync (or when the run began):
//   creations, renames and removals since are undone, a removed or replaced file coming
//   back with the bytes of its last fsync.
// The cut happens before the k-th operation, which never runs. Directories made during the
// run are kept (the road's directories exist before it); what the box wrote outside the
// named directories (logs, the share) is kept as it stands.
//
// The child is the leader of a process group of its own, and a stop ends the whole group
// (a worker it forked stops with it). The power-cut model follows the operations of the
// process that stops, so a road that forks should run its work in one process.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace crashtest {

enum class Stop { Kill, PowerCut };

struct Outcome {
    int ops = 0;           // file operations of the road the child made before it ended
    bool stopped = false;  // it stopped before the k-th
    bool finished = false; // its work ran to the end
};

// Memory the child's work shares with the test (kUser ints, zero at the start of each run),
// for what the work wants to tell (acknowledgements sent, say).
constexpr int kUser = 16;
int *shared();

// Told, in the child, of each operation of the road that runs: its kind (FS_OPEN ...)
// and the path it names (nullptr for one on a descriptor).
using Watch = std::function<void(int op, const char *path)>;

// Runs work in a child process with every file operation of the road counted; k = 0 lets
// it run to the end, k > 0 stops it before its k-th operation as `how` says. `watched`
// are the box's directories the power cut acts on (they must exist).
Outcome run(const std::function<void()> &work, int k, Stop how,
            const std::vector<std::string> &watched, const Watch &watch = nullptr);

} // namespace crashtest
