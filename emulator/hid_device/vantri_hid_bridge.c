/* A virtual HID device for Wine's HID class driver, backed by the adapter
 * emulator process.
 *
 * hidclass.sys owns the device and everything a program sees (SetupDi paths,
 * handles, the per-handle input rings); this minidriver only answers
 * hidclass's internal requests. Each device object is bound, over its own
 * loopback connection, to one interface of the emulator process, chosen by
 * the device's instance number: ROOT\VID_vvvv&PID_pppp\0003 is member 3 of
 * the emulator's interface list. Output reports go to that interface, and
 * what it answers comes back as input reports. The adapter model and its
 * faults are the emulator's; this file adds none of its own, except the one
 * HID-level behaviour the model cannot show: a device that sends an input
 * report nobody asked for (see DeliverUnasked).
 *
 * It runs inside winedevice.exe, an ordinary Wine process on Linux, which is
 * why it may use Linux's own sockets and futexes (linux_calls.h). Windows
 * would never load it: test device only.
 */
#include "hid_minidriver.h"

#include "bridge_wire.h"
#include "linux_calls.h"

#define REPORT_BYTES 64
#define INPUT_QUEUE 32
/* How long the write of an output report waits for the model's answer before
 * it completes without one (a silent adapter, or a slow erase whose answer
 * is then delivered when it comes). */
#define FIRST_ANSWER_MS 500
/* Polling for an answer that came late. */
#define LATE_ANSWER_POLL_MS 20
/* The model takes an output report within a frame; the program's own limit
 * for a write is far longer. */
#define WRITE_LIMIT_MS 10000
/* How long delivering an answer waits for hidclass to take it into its rings. */
#define HANDED_LIMIT_MS 200
/* How long hidclass's request for input waits for a due answer before it is
 * left pending like any other. */
#define DUE_WAIT_MS 50

typedef struct Device {
    KSPIN_LOCK lock;
    LIST_ENTRY reads;  /* read-report requests waiting for input */
    LIST_ENTRY writes; /* write-report requests for the bridge thread */
    LIST_ENTRY held;   /* writes to an adapter that has gone, failed at removal */
    UCHAR queued[INPUT_QUEUE][REPORT_BYTES];
    ULONG queuedHead, queuedCount;
    /* Input reports delivered and taken by read requests so far, and read
     * requests that arrived since the last one was taken: hidclass asks for
     * the next report only once it has put the last one into every ring. */
    ULONG64 delivered, taken;
    ULONG readsSinceTaken;
    /* The write whose answer is on its way into hidclass's rings, and that
     * answer's place in the sequence of delivered reports: the read request
     * that shows the answer has arrived completes the write. */
    PIRP handing;
    ULONG64 handingSequence;
    ULONG handingWritten;
    /* A write is with the model and its answer not yet delivered. */
    BOOLEAN answerDue;
    /* Futex words, moved on (LinuxSignal) when a write was queued or the
     * device stops, when a read request arrived, and when a report was kept
     * for the next read request. */
    volatile int32_t work, readCame, inputCame;
    KEVENT threadDone;
    BOOLEAN stopping, threadRunning;
    BridgeSocket connection;
    ULONG member;
    BOOLEAN unasked;
    USHORT vendorId, productId, versionNumber;
    WCHAR product[64];
    /* The report descriptor, with the report sizes the emulator's interface
     * has (an adapter's 64 bytes each way; a look-alike's other sizes). */
    UCHAR descriptor[27];
} Device;

/* Byte 15 and byte 21 of the descriptor: the input and output report counts. */
static const UCHAR kReportDescriptor[27] = {
    0x06, 0x00, 0xFF, /* usage page: vendor defined */
    0x09, 0x01,       /* usage 1 */
    0xA1, 0x01,       /* collection: application */
    0x15, 0x00,       /*   logical minimum 0 */
    0x26, 0xFF, 0x00, /*   logical maximum 255 */
    0x75, 0x08,       /*   report size 8 bits */
    0x95, 0x40,       /*   report count 64, no report id */
    0x09, 0x02,       /*   usage 2 */
    0x81, 0x02,       /*   input: data, variable, absolute */
    0x95, 0x40,       /*   report count 64 */
    0x09, 0x03,       /*   usage 3 */
    0x91, 0x02,       /*   output: data, variable, absolute */
    0xC0,             /* end collection */
};
#define INPUT_COUNT_AT 15
#define OUTPUT_COUNT_AT 21

static Device* DeviceOf(PDEVICE_OBJECT object)
{
    return (Device*)((VhidDeviceExtension*)object->DeviceExtension)->MiniDeviceExtension;
}

static PDEVICE_OBJECT LowerOf(PDEVICE_OBJECT object)
{
    return ((VhidDeviceExtension*)object->DeviceExtension)->NextDeviceObject;
}

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static void CopyBytes(void* to, const void* from, ULONG size)
{
    UCHAR* t = to;
    const UCHAR* f = from;
    while (size--)
        *t++ = *f++;
}

/* ---- input reports ------------------------------------------------------ */

static void WINAPI CancelRead(PDEVICE_OBJECT object, PIRP irp)
{
    Device* d = DeviceOf(object);
    KIRQL irql;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&d->lock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&d->lock, irql);
    Complete(irp, STATUS_CANCELLED, 0);
}

/* The oldest waiting read request whose cancellation has not begun; under
 * the lock. */
static PIRP PopRead(Device* d)
{
    while (!IsListEmpty(&d->reads)) {
        PLIST_ENTRY entry = RemoveHeadList(&d->reads);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, NULL))
            return irp;
        /* Its cancel routine runs and completes it; it removes the entry
         * again, so leave one that can be removed. */
        InitializeListHead(entry);
    }
    return NULL;
}

static void FillRead(PIRP irp, const UCHAR* report)
{
    const ULONG room = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
    const ULONG size = room < REPORT_BYTES ? room : REPORT_BYTES;
    CopyBytes(irp->UserBuffer, report, size);
    irp->IoStatus.Information = size;
}

/* Whether hidclass has put report `sequence` into every open handle's ring:
 * it has asked for the next one. Under the lock. */
static BOOLEAN Handed(const Device* d, ULONG64 sequence)
{
    return d->taken > sequence + 1 || (d->taken == sequence + 1 && d->readsSinceTaken > 0);
}

/* The write waiting for its answer to reach the rings, once it has; under
 * the lock. */
static PIRP TakeHandedWrite(Device* d)
{
    PIRP irp = d->handing;
    if (!irp || !(Handed(d, d->handingSequence) || d->stopping))
        return NULL;
    d->handing = NULL;
    return irp;
}

/* Hands one input report to hidclass and, with `wait`, returns only once
 * hidclass has put it into every open handle's ring (it has asked for the
 * next one) or HANDED_LIMIT_MS have passed. Wine's hidclass can leave a
 * report in a ring while a read of that handle waits, when the two meet at
 * the wrong moment; so a program must not read before the answer is in the
 * ring. `write`, the write the report answers, completes only then: the read
 * request that shows it (ReadReport) completes it at once, on hidclass's own
 * thread, and the wait here is only for that. */
static void Deliver(Device* d, const UCHAR* report, BOOLEAN wait, PIRP write, ULONG written)
{
    KIRQL irql;
    KeAcquireSpinLock(&d->lock, &irql);
    const ULONG64 sequence = d->delivered++;
    PIRP irp = PopRead(d);
    if (irp) {
        FillRead(irp, report);
        d->taken++;
        d->readsSinceTaken = 0;
    } else {
        /* Nobody reading just now: keep it, as the device's own buffer
         * would, dropping the oldest when full. */
        if (d->queuedCount == INPUT_QUEUE) {
            d->queuedHead = (d->queuedHead + 1) % INPUT_QUEUE;
            d->queuedCount--;
            d->taken++;
        }
        CopyBytes(d->queued[(d->queuedHead + d->queuedCount) % INPUT_QUEUE], report, REPORT_BYTES);
        d->queuedCount++;
    }
    d->answerDue = FALSE;
    if (write) {
        d->handing = write;
        d->handingSequence = sequence;
        d->handingWritten = written;
    }
    KeReleaseSpinLock(&d->lock, irql);
    if (irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    } else {
        LinuxSignal(&d->inputCame);
    }
    if (!wait)
        return;

    const uint64_t deadline = LinuxNowMs() + HANDED_LIMIT_MS;
    for (;;) {
        const int32_t seen = __atomic_load_n(&d->readCame, __ATOMIC_SEQ_CST);
        const uint64_t now = LinuxNowMs();
        const BOOLEAN late = now >= deadline;
        PIRP unhanded = NULL;
        BOOLEAN done;
        KeAcquireSpinLock(&d->lock, &irql);
        if (write) {
            done = d->handing != write;
            if (!done && (d->stopping || late)) {
                /* hidclass asks no more: the answer is in the rings or never
                 * will be; the write itself is done. */
                unhanded = write;
                d->handing = NULL;
                done = TRUE;
            }
        } else {
            done = Handed(d, sequence) || d->stopping || late;
        }
        KeReleaseSpinLock(&d->lock, irql);
        if (unhanded)
            Complete(unhanded, STATUS_SUCCESS, written);
        if (done)
            return;
        LinuxFutexWait(&d->readCame, seen, (uint32_t)(deadline - now));
    }
}

/* A device that speaks when nobody asked: one report shaped like the answer
 * to information page 2 (the carried firmware's version), sent as a program
 * that has just opened the device asks for its product string. A program
 * that took it for the answer to its first request would be misled. */
static void DeliverUnasked(Device* d)
{
    static const char version[] = "4.00.20160918";
    UCHAR report[REPORT_BYTES] = {0};
    report[0] = 0x80 | 21;
    report[7] = 56;
    report[8] = 'V';
    report[9] = '4';
    report[10] = 2;
    CopyBytes(report + 12, version, sizeof version - 1);
    Deliver(d, report, TRUE, NULL, 0);
}

/* Takes the oldest kept report into `report`; under the lock. */
static BOOLEAN TakeQueued(Device* d, UCHAR* report)
{
    if (!d->queuedCount)
        return FALSE;
    CopyBytes(report, d->queued[d->queuedHead], REPORT_BYTES);
    d->queuedHead = (d->queuedHead + 1) % INPUT_QUEUE;
    d->queuedCount--;
    d->taken++;
    d->readsSinceTaken = 0;
    return TRUE;
}

/* hidclass's request for the next input report, from its own reading
 * thread. While an answer is due (a write is with the model, or this request
 * completed one and the program's next is surely coming) that thread waits
 * here, on a futex, and takes the answer with no wineserver round trip: a
 * pending request would cost one to complete and one to wake the thread. */
static NTSTATUS ReadReport(Device* d, PIRP irp)
{
    KIRQL irql;
    UCHAR report[REPORT_BYTES];
    BOOLEAN have = FALSE;
    NTSTATUS status = STATUS_PENDING;
    KeAcquireSpinLock(&d->lock, &irql);
    d->readsSinceTaken++;
    PIRP write = TakeHandedWrite(d);
    const ULONG written = d->handingWritten;
    const BOOLEAN exchanging = write != NULL;
    const uint64_t deadline = LinuxNowMs() + DUE_WAIT_MS;
    for (;;) {
        if (d->stopping) {
            status = STATUS_DELETE_PENDING;
            break;
        }
        if ((have = TakeQueued(d, report)))
            break;
        const uint64_t now = LinuxNowMs();
        if (!(d->answerDue || exchanging) || now >= deadline) {
            IoSetCancelRoutine(irp, CancelRead);
            if (irp->Cancel && IoSetCancelRoutine(irp, NULL)) {
                status = STATUS_CANCELLED;
            } else {
                IoMarkIrpPending(irp);
                InsertTailList(&d->reads, &irp->Tail.Overlay.ListEntry);
            }
            break;
        }
        const int32_t seen = __atomic_load_n(&d->inputCame, __ATOMIC_SEQ_CST);
        KeReleaseSpinLock(&d->lock, irql);
        if (write) {
            Complete(write, STATUS_SUCCESS, written);
            write = NULL;
        }
        LinuxSignal(&d->readCame);
        LinuxFutexWait(&d->inputCame, seen, (uint32_t)(deadline - now));
        KeAcquireSpinLock(&d->lock, &irql);
    }
    KeReleaseSpinLock(&d->lock, irql);
    if (write)
        Complete(write, STATUS_SUCCESS, written);
    LinuxSignal(&d->readCame);
    if (have) {
        FillRead(irp, report);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    if (status != STATUS_PENDING)
        return Complete(irp, status, 0);
    return STATUS_PENDING;
}

/* ---- output reports: the bridge thread ----------------------------------- */

static NTSTATUS WriteReport(Device* d, PIRP irp)
{
    KIRQL irql;
    KeAcquireSpinLock(&d->lock, &irql);
    const BOOLEAN stopping = d->stopping;
    if (!stopping) {
        IoMarkIrpPending(irp);
        InsertTailList(&d->writes, &irp->Tail.Overlay.ListEntry);
    }
    KeReleaseSpinLock(&d->lock, irql);
    if (stopping)
        return Complete(irp, STATUS_DELETE_PENDING, 0);
    LinuxSignal(&d->work);
    return STATUS_PENDING;
}

static PIRP PopWrite(Device* d)
{
    KIRQL irql;
    PIRP irp = NULL;
    KeAcquireSpinLock(&d->lock, &irql);
    if (!d->stopping && !IsListEmpty(&d->writes))
        irp = CONTAINING_RECORD(RemoveHeadList(&d->writes), IRP, Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&d->lock, irql);
    return irp;
}

static void PutU32(UCHAR* p, ULONG v)
{
    p[0] = (UCHAR)v;
    p[1] = (UCHAR)(v >> 8);
    p[2] = (UCHAR)(v >> 16);
    p[3] = (UCHAR)(v >> 24);
}

static ULONG GetU32(const UCHAR* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | ((ULONG)p[3] << 24);
}

/* One READ of the model's next answer; delivers it when there is one, and
 * with it hands over `write` (which Deliver then completes). Returns the
 * wire status (0 also for a short read, whose bytes carry no answer and are
 * dropped as the model's fault means), and whether `write` was handed over. */
static ULONG FetchAnswer(Device* d, ULONG limitMs, PIRP write, ULONG written, BOOLEAN* handedOver)
{
    UCHAR request[8], reply[4 + 65];
    uint32_t replySize = 0;
    PutU32(request, limitMs);
    PutU32(request + 4, 65);
    const ULONG status = BridgeRequest(d->connection, BRIDGE_READ, request, sizeof request, reply, sizeof reply,
                                       &replySize);
    const BOOLEAN answered = status == 0 && replySize == sizeof reply && GetU32(reply) == 65;
    if (answered)
        Deliver(d, reply + 4 + 1, write != NULL, write, written);
    if (handedOver)
        *handedOver = answered && write;
    return status;
}

static BOOLEAN Gone(ULONG status)
{
    return status == BRIDGE_STATUS_DEVICE_NOT_CONNECTED || status == BRIDGE_STATUS_BROKEN;
}

/* Parks a write to an adapter that has gone: the test removes the device
 * (as unplugging would), and removal fails it as Windows fails I/O to an
 * unplugged device. */
static void Hold(Device* d, PIRP irp)
{
    KIRQL irql;
    KeAcquireSpinLock(&d->lock, &irql);
    InsertTailList(&d->held, &irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&d->lock, irql);
}

static void SetAnswerDue(Device* d, BOOLEAN due)
{
    KIRQL irql;
    KeAcquireSpinLock(&d->lock, &irql);
    d->answerDue = due;
    KeReleaseSpinLock(&d->lock, irql);
}

/* One output report to the model, and its answer back to hidclass before the
 * write completes. Returns TRUE when an answer is still owed. */
static BOOLEAN Exchange(Device* d, PIRP irp)
{
    const VhidTransferPacket* packet = irp->UserBuffer;
    UCHAR request[8 + 65] = {0}, reply[4];
    uint32_t replySize = 0;
    const ULONG size = packet->reportBufferLen < REPORT_BYTES ? packet->reportBufferLen : REPORT_BYTES;
    PutU32(request, WRITE_LIMIT_MS);
    PutU32(request + 4, 65);
    request[8] = packet->reportId;
    CopyBytes(request + 9, packet->reportBuffer, size);
    SetAnswerDue(d, TRUE);
    ULONG status = BridgeRequest(d->connection, BRIDGE_WRITE, request, sizeof request, reply, sizeof reply,
                                 &replySize);
    if (status != 0 || replySize != sizeof reply || GetU32(reply) != 65)
        SetAnswerDue(d, FALSE);
    if (Gone(status)) {
        Hold(d, irp);
        return FALSE;
    }
    if (status != 0 || replySize != sizeof reply) {
        Complete(irp, STATUS_UNSUCCESSFUL, 0);
        return FALSE;
    }
    const ULONG moved = GetU32(reply);
    if (moved != 65) {
        /* The model's short write: the program sees fewer bytes written. */
        Complete(irp, STATUS_SUCCESS, moved ? moved - 1 : 0);
        return FALSE;
    }
    /* hidclass reports the whole report, id byte included, as written only
     * when the minidriver counts it. */
    BOOLEAN handedOver = FALSE;
    status = FetchAnswer(d, FIRST_ANSWER_MS, irp, size + 1, &handedOver);
    SetAnswerDue(d, FALSE);
    if (Gone(status)) {
        Hold(d, irp);
        return FALSE;
    }
    if (!handedOver)
        Complete(irp, STATUS_SUCCESS, size + 1);
    return status == BRIDGE_STATUS_TIMEOUT;
}

static VOID NTAPI BridgeThread(PVOID context)
{
    Device* d = context;
    BOOLEAN owed = FALSE;
    for (;;) {
        const int32_t seen = __atomic_load_n(&d->work, __ATOMIC_SEQ_CST);
        KIRQL irql;
        KeAcquireSpinLock(&d->lock, &irql);
        const BOOLEAN stopping = d->stopping;
        KeReleaseSpinLock(&d->lock, irql);
        if (stopping)
            break;
        PIRP irp = PopWrite(d);
        if (irp) {
            owed = Exchange(d, irp);
        } else if (owed) {
            /* A slow answer (an erase) or none at all (a silent adapter):
             * pass it on whenever it comes, until the next write. */
            const ULONG status = FetchAnswer(d, LATE_ANSWER_POLL_MS, NULL, 0, NULL);
            owed = status == BRIDGE_STATUS_TIMEOUT;
        } else {
            LinuxFutexWait(&d->work, seen, ~0u);
        }
    }
    KeSetEvent(&d->threadDone, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

/* ---- start and removal --------------------------------------------------- */

static NTSTATUS WINAPI Signal(PDEVICE_OBJECT object, PIRP irp, PVOID event)
{
    (void)object;
    (void)irp;
    KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static NTSTATUS ForwardAndWait(PDEVICE_OBJECT object, PIRP irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, Signal, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(LowerOf(object), irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    return irp->IoStatus.Status;
}

/* The last part of the device's instance id (ROOT\VID_2387&PID_0003\0003)
 * as a number: the member of the emulator's list this device presents. */
static BOOLEAN InstanceNumber(PDEVICE_OBJECT pdo, ULONG* number)
{
    KEVENT done;
    IO_STATUS_BLOCK io;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, pdo, NULL, 0, NULL, &done, &io);
    if (!irp)
        return FALSE;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MinorFunction = IRP_MN_QUERY_ID;
    stack->Parameters.QueryId.IdType = BusQueryInstanceID;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    if (IoCallDriver(pdo, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    if (!NT_SUCCESS(io.Status) || !io.Information)
        return FALSE;
    const WCHAR* id = (const WCHAR*)io.Information;
    ULONG value = 0, digits = 0;
    for (; *id; ++id) {
        if (*id < L'0' || *id > L'9') {
            digits = 0;
            value = 0;
            continue;
        }
        value = value * 10 + (*id - L'0');
        ++digits;
    }
    ExFreePool((PVOID)io.Information);
    *number = value;
    return digits != 0;
}

/* The rig's settings, written by the installer before the devices exist:
 * the emulator's port, and which members send an unasked report. */
static ULONG Setting(const WCHAR* name, ULONG fallback)
{
    UNICODE_STRING path, value;
    OBJECT_ATTRIBUTES attributes;
    HANDLE key;
    RtlInitUnicodeString(&path, L"\\Registry\\Machine\\Software\\VantriTest\\HidBridge");
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE, NULL, NULL);
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes)))
        return fallback;
    union {
        KEY_VALUE_PARTIAL_INFORMATION info;
        UCHAR bytes[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 8];
    } buffer;
    ULONG length = 0, result = fallback;
    RtlInitUnicodeString(&value, name);
    if (NT_SUCCESS(ZwQueryValueKey(key, &value, KeyValuePartialInformation, &buffer, sizeof buffer, &length)) &&
        buffer.info.Type == REG_DWORD && buffer.info.DataLength == 4)
        result = GetU32(buffer.info.Data);
    ZwClose(key);
    return result;
}

static NTSTATUS Connect(PDEVICE_OBJECT object)
{
    Device* d = DeviceOf(object);
    const VhidDeviceExtension* ext = object->DeviceExtension;
    if (!InstanceNumber(ext->PhysicalDeviceObject, &d->member))
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    const ULONG port = Setting(L"Port", 0);
    WCHAR name[] = L"Unasked0000";
    for (ULONG i = 0, m = d->member; i < 4; ++i, m /= 10)
        name[10 - i] = (WCHAR)(L'0' + m % 10);
    d->unasked = Setting(name, 0) != 0;

    d->connection = port ? BridgeConnect((uint16_t)port) : BRIDGE_NO_SOCKET;
    if (d->connection == BRIDGE_NO_SOCKET)
        return STATUS_DEVICE_NOT_CONNECTED;
    UCHAR reply[4 + 2 * 64];
    uint32_t size = 0;
    if (BridgeOpenMember(d->connection, d->member) != 0 ||
        BridgeRequest(d->connection, BRIDGE_ATTRIBUTES, NULL, 0, reply, sizeof reply, &size) != 0 || size < 6)
        return STATUS_DEVICE_NOT_CONNECTED;
    d->vendorId = reply[0] | (reply[1] << 8);
    d->productId = reply[2] | (reply[3] << 8);
    d->versionNumber = reply[4] | (reply[5] << 8);
    UCHAR bytes[4];
    PutU32(bytes, sizeof d->product - sizeof(WCHAR));
    if (BridgeRequest(d->connection, BRIDGE_PRODUCT, bytes, sizeof bytes, reply, sizeof reply, &size) != 0 ||
        size < 4)
        return STATUS_DEVICE_NOT_CONNECTED;
    const ULONG count = GetU32(reply) < size - 4 ? GetU32(reply) : size - 4;
    CopyBytes(d->product, reply + 4, count);

    /* The lengths count the report id byte, which this collection has not. */
    CopyBytes(d->descriptor, kReportDescriptor, sizeof d->descriptor);
    if (BridgeRequest(d->connection, BRIDGE_CAPS, NULL, 0, reply, sizeof reply, &size) != 0 || size < 4)
        return STATUS_DEVICE_NOT_CONNECTED;
    const ULONG input = reply[0] | (reply[1] << 8), output = reply[2] | (reply[3] << 8);
    if (input < 2 || input > 65 || output < 2 || output > 65)
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    d->descriptor[INPUT_COUNT_AT] = (UCHAR)(input - 1);
    d->descriptor[OUTPUT_COUNT_AT] = (UCHAR)(output - 1);
    return STATUS_SUCCESS;
}

static NTSTATUS StartBridge(PDEVICE_OBJECT object)
{
    Device* d = DeviceOf(object);
    NTSTATUS status = Connect(object);
    if (!NT_SUCCESS(status))
        return status;
    HANDLE thread;
    status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, BridgeThread, d);
    if (!NT_SUCCESS(status))
        return status;
    ZwClose(thread);
    d->threadRunning = TRUE;
    return STATUS_SUCCESS;
}

static void FailAll(PLIST_ENTRY list)
{
    while (!IsListEmpty(list))
        Complete(CONTAINING_RECORD(RemoveHeadList(list), IRP, Tail.Overlay.ListEntry), STATUS_DELETE_PENDING, 0);
}

/* Removal: the bridge thread ends, the connection closes (the emulator
 * releases the interface), and every request still here fails. */
static void StopBridge(Device* d)
{
    KIRQL irql;
    KeAcquireSpinLock(&d->lock, &irql);
    const BOOLEAN already = d->stopping;
    d->stopping = TRUE;
    KeReleaseSpinLock(&d->lock, irql);
    if (already)
        return;
    LinuxSignal(&d->work);
    LinuxSignal(&d->readCame);
    LinuxSignal(&d->inputCame);
    BridgeShutdown(d->connection);
    if (d->threadRunning)
        KeWaitForSingleObject(&d->threadDone, Executive, KernelMode, FALSE, NULL);
    BridgeClose(d->connection);
    d->connection = BRIDGE_NO_SOCKET;

    LIST_ENTRY reads, rest;
    InitializeListHead(&reads);
    InitializeListHead(&rest);
    KeAcquireSpinLock(&d->lock, &irql);
    for (PIRP irp; (irp = PopRead(d));)
        InsertTailList(&reads, &irp->Tail.Overlay.ListEntry);
    while (!IsListEmpty(&d->writes))
        InsertTailList(&rest, RemoveHeadList(&d->writes));
    while (!IsListEmpty(&d->held))
        InsertTailList(&rest, RemoveHeadList(&d->held));
    KeReleaseSpinLock(&d->lock, irql);
    FailAll(&reads);
    FailAll(&rest);
}

static NTSTATUS WINAPI DispatchPnp(PDEVICE_OBJECT object, PIRP irp)
{
    Device* d = DeviceOf(object);
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = ForwardAndWait(object, irp);
        if (NT_SUCCESS(status))
            status = StartBridge(object);
        return Complete(irp, status, 0);
    }
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
        StopBridge(d);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(LowerOf(object), irp);
}

static NTSTATUS WINAPI DispatchPower(PDEVICE_OBJECT object, PIRP irp)
{
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(LowerOf(object), irp);
}

/* ---- hidclass's requests -------------------------------------------------- */

static NTSTATUS CopyOut(PIRP irp, const void* data, ULONG size)
{
    const ULONG room = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
    if (room < size)
        return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    CopyBytes(irp->UserBuffer, data, size);
    return Complete(irp, STATUS_SUCCESS, size);
}

static ULONG TextBytes(const WCHAR* text)
{
    ULONG n = 0;
    while (text[n])
        ++n;
    return (n + 1) * sizeof(WCHAR);
}

static NTSTATUS GetString(Device* d, PIRP irp)
{
    /* The low word names the string. Wine asks with 1 to 3, Windows with
     * 14 to 16. */
    const ULONG id = (ULONG)(ULONG_PTR)IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer &
                     0xFFFF;
    switch (id) {
    case 1:
    case 14:
        return CopyOut(irp, L"Vantri Test", sizeof L"Vantri Test");
    case 2:
    case 15:
        if (d->unasked)
            DeliverUnasked(d);
        return CopyOut(irp, d->product, TextBytes(d->product));
    case 3:
    case 16: {
        WCHAR serial[] = L"VHID0000";
        for (ULONG i = 0, m = d->member; i < 4; ++i, m /= 10)
            serial[7 - i] = (WCHAR)(L'0' + m % 10);
        return CopyOut(irp, serial, sizeof serial);
    }
    default:
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    }
}

static NTSTATUS WINAPI DispatchInternal(PDEVICE_OBJECT object, PIRP irp)
{
    Device* d = DeviceOf(object);
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode) {
    case VHID_GET_DEVICE_DESCRIPTOR: {
        const VhidDescriptor descriptor = {sizeof descriptor, 0x21, 0x0111, 0, 1, 0x22, sizeof d->descriptor};
        return CopyOut(irp, &descriptor, sizeof descriptor);
    }
    case VHID_GET_REPORT_DESCRIPTOR:
        return CopyOut(irp, d->descriptor, sizeof d->descriptor);
    case VHID_GET_DEVICE_ATTRIBUTES: {
        VhidDeviceAttributes attributes = {0};
        attributes.Size = sizeof attributes;
        attributes.VendorID = d->vendorId;
        attributes.ProductID = d->productId;
        attributes.VersionNumber = d->versionNumber;
        return CopyOut(irp, &attributes, sizeof attributes);
    }
    case VHID_GET_STRING:
        return GetString(d, irp);
    case VHID_READ_REPORT:
        return ReadReport(d, irp);
    case VHID_WRITE_REPORT:
        return WriteReport(d, irp);
    default:
        return Complete(irp, STATUS_NOT_SUPPORTED, 0);
    }
}

static NTSTATUS WINAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT object)
{
    (void)driver;
    Device* d = DeviceOf(object);
    RtlZeroMemory(d, sizeof *d);
    KeInitializeSpinLock(&d->lock);
    InitializeListHead(&d->reads);
    InitializeListHead(&d->writes);
    InitializeListHead(&d->held);
    KeInitializeEvent(&d->threadDone, NotificationEvent, FALSE);
    d->connection = BRIDGE_NO_SOCKET;
    object->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static VOID WINAPI Unload(PDRIVER_OBJECT driver)
{
    (void)driver;
}

NTSTATUS WINAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternal;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;

    VhidMinidriverRegistration registration = {0};
    registration.Revision = VHID_REVISION;
    registration.DriverObject = driver;
    registration.RegistryPath = registryPath;
    registration.DeviceExtensionSize = sizeof(Device);
    registration.DevicesArePolled = FALSE;
    return HidRegisterMinidriver(&registration);
}
