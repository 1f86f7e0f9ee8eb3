/* A program as a customer writes it: C, including only nuboxlink.h, linked with
 * libnuboxlink.so. It configures a simulated PCI board served by nubox-simd from a
 * registry file, writes DP master commands, receives their confirmations through
 * DPEM_GetReport and through WatchMailbox, moves process data and resets the board; a
 * second board runs a list, an FMS, a PB2M and a DP slave channel. Given the board
 * server as well, it reaches the same board as a remote board: the
 * server, in a process of its own, serves the board of its registry, and this program's
 * registry names the server's computer (remote boards carry the DP master only).
 *   nuboxlink_c_client PATH-TO-nubox-simd [PATH-TO-nubox-board-server] */
#define _GNU_SOURCE
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "nuboxlink.h"

static int passed = 0, failed = 0;

#define CHECK(cond)                                                            \
    do {                                                                       \
        if (cond) {                                                            \
            ++passed;                                                          \
        } else {                                                               \
            ++failed;                                                          \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
        }                                                                      \
    } while (0)

static volatile int callbacks = 0;
static volatile uint32_t seenUser = 0;

static void onReport(uint8_t device, uint8_t channel, uint32_t user) {
    (void)device;
    (void)channel;
    seenUser = user;
    __atomic_add_fetch(&callbacks, 1, __ATOMIC_SEQ_CST);
}

static void pause1ms(void) {
    struct timespec t = {0, 1000000};
    nanosleep(&t, NULL);
}

/* Waits for a report for at most two seconds. */
static uint8_t awaitReport(uint8_t report[256]) {
    uint8_t r = 7;
    for (int i = 0; i < 2000 && r == 7; ++i) {
        r = DPEM_GetReport(0, 0, report);
        if (r == 7) {
            pause1ms();
        }
    }
    return r;
}

/* Starts a program with its standard output on a pipe; its pid, and whether its first
 * output was the line "ready". */
static pid_t startReady(char* const args[], int* ready) {
    int out[2];
    if (pipe(out) != 0) {
        return -1;
    }
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM); /* ends with this program, however it ends */
        dup2(out[1], 1);
        close(out[0]);
        execv(args[0], args);
        _exit(127);
    }
    close(out[1]);
    char line[16] = {0};
    ssize_t n = read(out[0], line, sizeof line - 1);
    close(out[0]);
    *ready = n > 0 && strcmp(line, "ready\n") == 0;
    return pid;
}

static int stopProgram(pid_t pid) {
    kill(pid, SIGTERM);
    int ws = 0;
    waitpid(pid, &ws, 0);
    return WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
}

static void writeRegistry(const char* path, const char* values) {
    FILE* reg = fopen(path, "w");
    fprintf(
        reg,
        "REGEDIT4\n\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zirudevizudorer\\Devices]\n\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zirudevizudorer\\Devices\\0]\n"
        "%s",
        values);
    fclose(reg);
}

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        fprintf(stderr, "usage: %s PATH-TO-nubox-simd [PATH-TO-nubox-board-server]\n", argv[0]);
        return 2;
    }
    const int remote = argc == 3;
    char dir[] = "/tmp/nuboxlink-c-XXXXXX";
    if (!mkdtemp(dir)) {
        return 2;
    }
    char drivers[256], registry[256], socketPath[300];
    snprintf(drivers, sizeof drivers, "%s/drivers", dir);
    snprintf(registry, sizeof registry, "%s/registry.reg", dir);
    snprintf(socketPath, sizeof socketPath, "%s/_nuBoxPCI_Multiboard0", drivers);
    writeRegistry(
        registry,
        "\"PCI-Board\"=dword:00000042\n\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zirudevizudorer\\Devices\\1]\n"
        "\"PCI-Board\"=dword:00000043\n");

    int ready = 0;
    char* simdArgs[] = {argv[1],      "--driver-dir", drivers,      "--board",
                        "pci:0:0x42", "--board",      "pci:1:0x43", NULL};
    pid_t daemon = startReady(simdArgs, &ready);
    CHECK(daemon > 0 && ready);
    setenv("NUBOXLINK_DRIVER_DIR", drivers, 1);
    setenv("NUBOXLINK_REGISTRY", registry, 1);

    pid_t server = -1;
    if (remote) {
        /* The server reads the registry above; this program's own names the server's
         * computer. The port is 5000 + the remote device number: the first free one from
         * a place that differs between runs at the same time. */
        char base[16], remoteRegistry[300], values[128] = "";
        ready = 0;
        for (int attempt = 0; attempt < 40 && !ready; ++attempt) {
            int k = (int)((getpid() + attempt * 17) % 224);
            snprintf(base, sizeof base, "%d", 5000 + k);
            char* serverArgs[] = {argv[2], "--device", "0", "--port-base", base, NULL};
            server = startReady(serverArgs, &ready);
            if (!ready) {
                stopProgram(server);
                continue;
            }
            snprintf(values, sizeof values,
                     "\"RemoteMachine\"=\"127.0.0.1\"\n\"RemoteDevice\"=dword:%08x\n", k);
        }
        CHECK(ready);
        snprintf(remoteRegistry, sizeof remoteRegistry, "%s/remote.reg", dir);
        writeRegistry(remoteRegistry, values);
        setenv("NUBOXLINK_REGISTRY", remoteRegistry, 1);
    }

    DeviceConfig configs[16];
    memset(configs, 0, sizeof configs);
    configs[0].channels[0].type = NUBOX_CHANNEL_DPEM;
    configs[0].channels[0].parameter = 6000;
    configs[1].channels[0].type = NUBOX_CHANNEL_LIST;
    configs[1].channels[0].parameter = 100;
    configs[1].channels[1].type = NUBOX_CHANNEL_FMS;
    configs[1].channels[2].type = NUBOX_CHANNEL_PB2M;
    configs[1].channels[3].type = NUBOX_CHANNEL_DPS;
    uint8_t status[16] = {0}, channelStatus[16] = {0};
    CHECK(InitDll(configs, remote ? 1 : 3, status, channelStatus) == 0);
    CHECK(status[0] == 0);
    CHECK(remote || (status[1] == 0 && channelStatus[1] == 0));

    DeviceInfo info;
    CHECK(nuBOXvb_GetDeviceInfo(0, &info) == 0);
    if (remote) {
        CHECK(info.kind == NUBOX_KIND_REMOTE && info.boardId == 0 && info.present == 1 &&
              info.busy == 1);
    } else {
        CHECK(info.kind == NUBOX_KIND_PCI && info.boardId == 0x42 && info.present == 1 &&
              info.busy == 1);
    }

    uint8_t block[256], report[256];
    memset(block, 0, sizeof block);
    block[0] = 0x21;
    block[1] = 0x5A;
    CHECK(DPEM_WriteCommand(0, 0, block) == 0);
    CHECK(awaitReport(report) == 0);
    CHECK(report[0] == 0xE1 && report[1] == 0x5A);
    block[0] = 0x28;
    CHECK(DPEMvb_WriteCommand(0, 0, block) == 8);

    CHECK(WatchMailbox(0, 0, onReport, 77, 10) == 0);
    block[0] = 0x22;
    CHECK(DPEM_WriteCommand(0, 0, block) == 0);
    for (int i = 0; i < 2000 && __atomic_load_n(&callbacks, __ATOMIC_SEQ_CST) == 0; ++i) {
        pause1ms();
    }
    CHECK(callbacks > 0 && seenUser == 77);
    CHECK(DPEM_GetReport(0, 0, report) == 0);
    CHECK(report[0] == 0xE2);
    CHECK(StopWatchThread(0, 0) == 0);

    uint8_t data[20], back[20];
    for (int i = 0; i < 20; ++i) {
        data[i] = (uint8_t)i;
    }
    CHECK(DPEM_WriteOutputData(0, 0, data, 100, 20, 3) == 0);
    CHECK(DPEM_ReadInputData(0, 0, back, 100, 20, 3) == 0);
    CHECK(DPEM_WriteOutputData(0, 0, data, 5990, 20, 3) == 5);
    uint8_t online = 0xFF;
    CHECK(DPEM_StationOnline(0, 0, &online) == 0 && online == 0);

    /* The other families on device 1, a local board: each answers its echo. */
    if (!remote) {
        uint8_t r = 7;
        block[0] = 0x31;
        CHECK(LIST_WriteCommand(1, 0, block, 4) == 0);
        for (int i = 0; i < 2000 && (r = LIST_GetReport(1, 0, report)) == 7; ++i) {
            pause1ms();
        }
        CHECK(r == 0 && report[0] == 0xF1);
        ListEntry entry;
        CHECK(LIST_ReadInputData(1, 0, &entry, 40, 1) == 0 && entry.length == 0);
        CHECK(LIST_ReadInputData(1, 0, &entry, 96, 1) == 5); /* runs past the data area */
        block[0] = 0x05;
        CHECK(FMS_WriteCommand(1, 1, block, 8) == 0);
        for (int i = 0; i < 2000 && (r = FMS_GetReport(1, 1, report)) == 7; ++i) {
            pause1ms();
        }
        CHECK(r == 0 && report[0] == 0xC5);
        CHECK(FMA7_GetReport(1, 1, report) == 7);
        CHECK(FMA7_WriteCommand(1, 1, block, 8) == 0);
        uint8_t pb2mData[NUBOX_PB2M_DATA] = {0}, code = 0;
        CHECK(PB2M_WriteCommand(1, 2, 0x12, pb2mData) == 0);
        for (int i = 0; i < 2000 && (r = PB2M_GetReport(1, 2, &code, pb2mData)) == 7; ++i) {
            pause1ms();
        }
        CHECK(r == 0 && code == 0xD2);
        CHECK(PB2M_Reset(1, 2) == 5);
        const uint8_t cfg[2] = {0x21, 0x13};
        CHECK(DPS_WriteCfgData(1, 3, cfg, 2) == 0);
        CHECK(DPS_WriteInputData(1, 3, NULL) == 0);
        const uint8_t comPar[8] = {0};
        CHECK(DPS_WriteComPar(1, 3, comPar) == 0);
        const uint8_t diag[5] = {0, 0, 0, 1, 0xDD};
        CHECK(DPS_WriteDiagData(1, 3, diag) == 0);
        uint8_t events = 0xFF, dpsData[NUBOX_DPS_DATA_MAX], dpsLength = 0xFF, address = 0;
        CHECK(DPS_GetNewCommEvent(1, 3, &events) == 0 && events == 0);
        CHECK(DPS_ReadOutputData(1, 3, dpsData, &dpsLength) == 0 && dpsLength == 2);
        CHECK(DPS_ReadPrmData(1, 3, dpsData, &dpsLength) == 0 && dpsLength == 0);
        CHECK(DPS_ReadStationAddress(1, 3, dpsData, &dpsLength, &address) == 0);
        CHECK(WatchMailbox(1, 3, onReport, 0, 10) == 5);
        CHECK(DPS_ReadPrmData(1, 0, dpsData, &dpsLength) == 4); /* a list channel */
        CHECK(ResetDevice(1, 0) == 0);
    }

    CHECK(ResetDevice(0, 0) == 0);
    CHECK(DPEM_GetReport(0, 0, report) == 3);

    if (remote) {
        CHECK(stopProgram(server) == 0);
    }
    CHECK(stopProgram(daemon) == 0);
    struct stat st;
    CHECK(stat(socketPath, &st) != 0); /* the endpoint is gone */

    printf("%d passed, %d failed\n", passed, failed);
    char cmd[400];
    snprintf(cmd, sizeof cmd, "rm -rf %s", dir);
    if (system(cmd) != 0) {
        fprintf(stderr, "could not remove %s\n", dir);
    }
    return failed == 0 ? 0 : 1;
}
