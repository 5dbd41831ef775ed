// A stand-in for the camera's USB driver, for the Windows tests under Wine: it creates the device object
// \Device\QX410U-NNN with its link \??\QX410U-NNN, as the camera's driver does, and forwards every device
// control request on an open handle to the camera simulator's driver socket (forward.h), which answers
// it as the camera would. It is a kernel-mode driver that Wine's winedevice.exe loads from the service's
// registry key; its parameters are the values of the key's "Parameters" subkey:
//   Port        (REG_DWORD)  the loopback TCP port of the simulator's driver requests (--driver-tcp),
//                            read at each open: the service stays loaded while simulators come and go,
//                            and an open without it fails as if no camera were plugged in (the name
//                            not found), one with no simulator behind it as if the camera had gone
//   Instance    (REG_DWORD)  NNN, 1..127 (default 1), read when the driver loads
//
// Each open handle has its own connection and its own worker thread; a request is marked pending and
// served by the worker, so that the caller can wait on it with a bound and cancel it (CancelIoEx). A
// request cancelled while the simulator has not answered leaves the connection out of step: it is
// closed, and every later request on that handle fails at once, as on the driver socket itself. The
// worker waits for each answer without a bound: the caller's request limit is the only one.
#include <ddk/wdm.h>
#include <stdio.h>

#include "forward.h"

#define POOL_TAG 0x55303151 /* "Q10U" */
#define INSTANCE_LAST 127
static WCHAR g_parameters[512];  // the service key's Parameters subkey
static WCHAR g_linkName[32];
static UNICODE_STRING g_link;

typedef struct Connection {
    uintptr_t link;  // 0 once the stream is out of step or broken
    KSPIN_LOCK lock;
    LIST_ENTRY queue;
    KEVENT wake;
    KEVENT ended;
    volatile LONG closing;
} Connection;

// Reads one value of the service's Parameters key into buffer; false when it is absent or too long.
static BOOLEAN ReadParameter(const WCHAR* name, ULONG type, void* buffer, ULONG size) {
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, g_parameters);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE key = NULL;
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) {
        return FALSE;
    }
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    union {
        KEY_VALUE_PARTIAL_INFORMATION info;
        UCHAR bytes[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 512];
    } value;
    ULONG returned = 0;
    const NTSTATUS status =
        ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, &value, sizeof value, &returned);
    ZwClose(key);
    if (!NT_SUCCESS(status) || value.info.Type != type || value.info.DataLength > size) {
        return FALSE;
    }
    memcpy(buffer, value.info.Data, value.info.DataLength);
    return TRUE;
}

static void CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// A request is cancelled while the simulator has not answered it: the answer can no longer be told apart
// from the next one's, so the handle's connection ends here, which also ends the worker's wait on it.
// The worker completes the request. Runs with the cancel spin lock held, as does every change of
// connection->link.
static void NTAPI CancelRequest(PDEVICE_OBJECT device, PIRP irp) {
    Connection* connection = IoGetCurrentIrpStackLocation(irp)->FileObject->FsContext;
    (void)device;
    if (connection->link != 0) {
        ForwardInterrupt(connection->link);
    }
    IoReleaseCancelSpinLock(irp->CancelIrql);
}

// Takes the request back from the cancel machinery: once the cancel spin lock is held, no cancel
// routine is running on it any more, and none will.
static void ClaimRequest(PIRP irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoSetCancelRoutine(irp, NULL);
    IoReleaseCancelSpinLock(irql);
}

static void DropLink(Connection* connection) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    const uintptr_t link = connection->link;
    connection->link = 0;
    IoReleaseCancelSpinLock(irql);
    if (link != 0) {
        ForwardClose(link);
    }
}

static void ServeRequest(Connection* connection, PIRP irp) {
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    uint8_t* buffer = irp->AssociatedIrp.SystemBuffer;
    const BOOLEAN forwardable = (code & 3) == METHOD_BUFFERED && (buffer != NULL || inLength == 0);
    ForwardResult result = FORWARD_BROKEN;
    uint32_t answerStatus = 0;
    uint32_t answerLength = 0;
    if (forwardable && !irp->Cancel && connection->link != 0) {
        result = ForwardExchange(connection->link, code, buffer, inLength, outLength, &answerStatus,
                                 &answerLength);
    }
    ClaimRequest(irp);
    NTSTATUS status = STATUS_DEVICE_NOT_CONNECTED;
    ULONG_PTR information = 0;
    if (irp->Cancel) {
        status = STATUS_CANCELLED;
        DropLink(connection);
    } else if (!forwardable) {
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else if (result == FORWARD_ANSWERED) {
        status = (NTSTATUS)answerStatus;
        information = answerStatus == 0 ? answerLength : 0;
    } else {
        // The connection is gone (an earlier request was cancelled, or the simulator went away): every
        // later request on the handle fails at once.
        DropLink(connection);
    }
    CompleteRequest(irp, status, information);
}

static PIRP NextRequest(Connection* connection) {
    KIRQL irql;
    KeAcquireSpinLock(&connection->lock, &irql);
    PIRP irp = NULL;
    if (!IsListEmpty(&connection->queue)) {
        irp = CONTAINING_RECORD(RemoveHeadList(&connection->queue), IRP, Tail.Overlay.ListEntry);
    }
    KeReleaseSpinLock(&connection->lock, irql);
    return irp;
}

static void NTAPI Worker(void* context) {
    Connection* connection = context;
    for (;;) {
        KeWaitForSingleObject(&connection->wake, Executive, KernelMode, FALSE, NULL);
        for (PIRP irp = NextRequest(connection); irp != NULL; irp = NextRequest(connection)) {
            ServeRequest(connection, irp);
        }
        if (connection->closing != 0) {
            break;
        }
    }
    DropLink(connection);
    KeSetEvent(&connection->ended, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

static NTSTATUS Open(PIRP irp, PIO_STACK_LOCATION stack) {
    Connection* connection = ExAllocatePoolWithTag(NonPagedPool, sizeof(Connection), POOL_TAG);
    if (connection == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    memset(connection, 0, sizeof *connection);
    // No simulator named: as if no camera were plugged in, when the device object would not exist. A
    // simulator named but not behind its port: as if the camera had gone. (Wine 8 hands the caller its
    // handle all the same; the handle's first request fails.)
    ULONG port = 0;
    if (!ReadParameter(L"Port", REG_DWORD, &port, sizeof port) || port == 0 || port > 0xFFFF) {
        ExFreePoolWithTag(connection, POOL_TAG);
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    connection->link = ForwardConnect((uint16_t)port);
    if (connection->link == 0) {
        ExFreePoolWithTag(connection, POOL_TAG);
        return STATUS_NO_SUCH_DEVICE;
    }
    KeInitializeSpinLock(&connection->lock);
    InitializeListHead(&connection->queue);
    KeInitializeEvent(&connection->wake, SynchronizationEvent, FALSE);
    KeInitializeEvent(&connection->ended, NotificationEvent, FALSE);
    HANDLE thread = NULL;
    if (!NT_SUCCESS(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, Worker, connection))) {
        ForwardClose(connection->link);
        ExFreePoolWithTag(connection, POOL_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ZwClose(thread);
    stack->FileObject->FsContext = connection;
    (void)irp;
    return STATUS_SUCCESS;
}

static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Connection* connection = stack->FileObject->FsContext;
    (void)device;
    NTSTATUS status = STATUS_SUCCESS;
    switch (stack->MajorFunction) {
        case IRP_MJ_CREATE:
            status = Open(irp, stack);
            break;
        case IRP_MJ_CLEANUP:
            // The worker serves what is queued, then ends; the handle's requests are all complete.
            if (connection != NULL) {
                InterlockedExchange(&connection->closing, 1);
                KeSetEvent(&connection->wake, IO_NO_INCREMENT, FALSE);
                KeWaitForSingleObject(&connection->ended, Executive, KernelMode, FALSE, NULL);
            }
            break;
        case IRP_MJ_CLOSE:
            if (connection != NULL) {
                ExFreePoolWithTag(connection, POOL_TAG);
                stack->FileObject->FsContext = NULL;
            }
            break;
        case IRP_MJ_DEVICE_CONTROL: {
            if (connection == NULL) {
                status = STATUS_INVALID_HANDLE;
                break;
            }
            IoMarkIrpPending(irp);
            KIRQL irql;
            IoAcquireCancelSpinLock(&irql);
            IoSetCancelRoutine(irp, CancelRequest);
            IoReleaseCancelSpinLock(irql);
            KeAcquireSpinLock(&connection->lock, &irql);
            InsertTailList(&connection->queue, &irp->Tail.Overlay.ListEntry);
            KeReleaseSpinLock(&connection->lock, irql);
            KeSetEvent(&connection->wake, IO_NO_INCREMENT, FALSE);
            return STATUS_PENDING;
        }
        default:
            status = STATUS_INVALID_DEVICE_REQUEST;
            break;
    }
    CompleteRequest(irp, status, 0);
    return status;
}

static void NTAPI Unload(PDRIVER_OBJECT driver) {
    IoDeleteSymbolicLink(&g_link);
    if (driver->DeviceObject != NULL) {
        IoDeleteDevice(driver->DeviceObject);
    }
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    const WCHAR suffix[] = L"\\Parameters";
    const ULONG pathChars = registryPath->Length / sizeof(WCHAR);
    if (pathChars + sizeof suffix / sizeof(WCHAR) > sizeof g_parameters / sizeof(WCHAR)) {
        return STATUS_INVALID_PARAMETER;
    }
    memcpy(g_parameters, registryPath->Buffer, registryPath->Length);
    memcpy(g_parameters + pathChars, suffix, sizeof suffix);
    ULONG instance = 1;
    ReadParameter(L"Instance", REG_DWORD, &instance, sizeof instance);
    if (instance < 1 || instance > INSTANCE_LAST || !ForwardStartup()) {
        return STATUS_INVALID_PARAMETER;
    }
    WCHAR deviceText[32];
    _snwprintf(deviceText, 32, L"\\Device\\QX410U-%03lu", instance);
    _snwprintf(g_linkName, 32, L"\\??\\QX410U-%03lu", instance);
    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, deviceText);
    RtlInitUnicodeString(&g_link, g_linkName);
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status = IoCreateDevice(driver, 0, &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = IoCreateSymbolicLink(&g_link, &deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    driver->MajorFunction[IRP_MJ_CREATE] = Dispatch;
    driver->MajorFunction[IRP_MJ_CLEANUP] = Dispatch;
    driver->MajorFunction[IRP_MJ_CLOSE] = Dispatch;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Dispatch;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
