// Stand-in for a running bhyve process in the simulated host: it only has to exist with the
// command name and argument vector the test chose, and must never outlive the test that started it.
#include <sys/prctl.h>

#include <csignal>
#include <unistd.h>

int main() {
    const pid_t parent = getppid();
    // The parent may have died before the death signal was armed.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent)
        return 1;
    for (;;)
        pause();
}
