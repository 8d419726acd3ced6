/* The few HID minidriver declarations MinGW-w64 does not ship (it has no
 * hidport.h, and its ddk/hidclass.h carries placeholder ioctl values), written
 * from the public documentation of the HID minidriver interface. */
#pragma once

#include <ddk/wdm.h>

typedef struct VhidMinidriverRegistration {
    ULONG Revision;
    PDRIVER_OBJECT DriverObject;
    PUNICODE_STRING RegistryPath;
    ULONG DeviceExtensionSize;
    BOOLEAN DevicesArePolled;
    UCHAR Reserved[3];
} VhidMinidriverRegistration;

#define VHID_REVISION 1

NTSTATUS NTAPI HidRegisterMinidriver(VhidMinidriverRegistration* registration);

/* What hidclass keeps at the start of each device object's extension; the
 * minidriver's own part follows at MiniDeviceExtension. */
typedef struct VhidDeviceExtension {
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT NextDeviceObject;
    PVOID MiniDeviceExtension;
} VhidDeviceExtension;

typedef struct VhidDeviceAttributes {
    ULONG Size;
    USHORT VendorID;
    USHORT ProductID;
    USHORT VersionNumber;
    USHORT Reserved[11];
} VhidDeviceAttributes;

#pragma pack(push, 1)
typedef struct VhidDescriptor {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdHID;
    UCHAR bCountry;
    UCHAR bNumDescriptors;
    UCHAR bReportType;
    USHORT wReportLength;
} VhidDescriptor;
#pragma pack(pop)

typedef struct VhidTransferPacket {
    PUCHAR reportBuffer;
    ULONG reportBufferLen;
    UCHAR reportId;
} VhidTransferPacket;

/* The internal requests hidclass sends its minidriver. */
#define VHID_IOCTL(n) CTL_CODE(FILE_DEVICE_KEYBOARD, (n), METHOD_NEITHER, FILE_ANY_ACCESS)
#define VHID_GET_DEVICE_DESCRIPTOR VHID_IOCTL(0)
#define VHID_GET_REPORT_DESCRIPTOR VHID_IOCTL(1)
#define VHID_READ_REPORT VHID_IOCTL(2)
#define VHID_WRITE_REPORT VHID_IOCTL(3)
#define VHID_GET_STRING VHID_IOCTL(4)
#define VHID_GET_DEVICE_ATTRIBUTES VHID_IOCTL(9)
