#include "platform/process_table.h"

// sys/param.h first: the other system headers rely on its definitions.
#include <sys/param.h>

#include <sys/sysctl.h>
#include <sys/user.h>

#include <fcntl.h>
#include <kvm.h>
#include <limits.h>

namespace tarn {

ProcessTable::ProcessTable() {
    char errbuf[_POSIX2_LINE_MAX] = {};
    kvm_t* kd = ::kvm_openfiles(nullptr, "/dev/null", nullptr, O_RDONLY, errbuf);
    if (kd == nullptr) {
        error_ = errbuf;
        return;
    }
    handle_ = kd;
    open_ = true;
}

ProcessTable::~ProcessTable() {
    if (handle_ != nullptr)
        ::kvm_close(static_cast<kvm_t*>(handle_));
}

bool ProcessTable::for_each_named(const std::string& command_name,
                                  const std::function<void(const ProcessInfo&)>& visit) {
    if (!open_)
        return false;
    kvm_t* kd = static_cast<kvm_t*>(handle_);
    int count = 0;
    // KERN_PROC_PROC: one entry per process, not per thread.
    struct kinfo_proc* procs = ::kvm_getprocs(kd, KERN_PROC_PROC, 0, &count);
    if (procs == nullptr)
        return false;
    for (int i = 0; i < count; ++i) {
        const struct kinfo_proc* proc = &procs[i];
        if (command_name != proc->ki_comm)
            continue;
        ProcessInfo info;
        info.pid = proc->ki_pid;
        info.command_name = proc->ki_comm;
        // 0: no length limit on the returned arguments.
        if (char** argv = ::kvm_getargv(kd, proc, 0)) {
            std::vector<std::string> arguments;
            for (char** arg = argv; *arg != nullptr; ++arg)
                arguments.emplace_back(*arg);
            info.arguments = std::move(arguments);
        }
        visit(info);
    }
    return true;
}

} // namespace tarn
