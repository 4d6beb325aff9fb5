// Windows keeps what a port's device is in its device manager. Each device
// of the Ports class, or with the COM port interface, names its port in the
// PortName value of its registry key, and has the name the device manager
// shows, its driver's service and maker, and an instance ID, as have the
// devices above it: a USB adapter's carries its vendor and product IDs and
// its serial number. The serial port map that the drivers keep (SERIALCOMM)
// names the device object behind every port, also one that no device of the
// device manager claims.
#include "DeviceIdentity.h"

#include <windows.h>
// Before the headers that declare GUIDs and property keys: this file defines
// the ones it uses.
#include <initguid.h>

#include <cfgmgr32.h>
#include <devguid.h>
#include <devpkey.h>
#include <setupapi.h>

#include <QRegularExpression>

#include <cwchar>
#include <memory>
#include <type_traits>
#include <vector>

namespace {

// The COM port device interface class, as ntddser.h defines it; that header
// needs the driver kit's types.
constexpr GUID ComPortInterface{
    0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};

struct DeviceSetCloser
{
    void operator()(HDEVINFO set) const { SetupDiDestroyDeviceInfoList(set); }
};
using DeviceSet = std::unique_ptr<std::remove_pointer_t<HDEVINFO>, DeviceSetCloser>;

struct KeyCloser
{
    void operator()(HKEY key) const { RegCloseKey(key); }
};
using Key = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

// A string value of `key`; empty when it has none.
QString StringValue(HKEY key, const wchar_t* name)
{
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return {};
    // Room for the terminating null that a stored string may lack.
    std::vector<wchar_t> text(size / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(text.data()),
                         &size) != ERROR_SUCCESS)
        return {};
    return QString::fromWCharArray(text.data());
}

// The strings of a device's text property (one for REG_SZ, each of a
// REG_MULTI_SZ); none when it has none.
QStringList DeviceProperty(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property)
{
    DWORD type = 0;
    DWORD size = 0;
    SetupDiGetDeviceRegistryPropertyW(set, &device, property, &type, nullptr, 0, &size);
    if (size == 0 || (type != REG_SZ && type != REG_MULTI_SZ))
        return {};
    // Room for the two terminating nulls that a stored list may lack.
    std::vector<wchar_t> text(size / sizeof(wchar_t) + 2, L'\0');
    if (!SetupDiGetDeviceRegistryPropertyW(set, &device, property, nullptr,
                                           reinterpret_cast<BYTE*>(text.data()), size, nullptr))
        return {};
    QStringList strings;
    for (const wchar_t* string = text.data(); *string != L'\0'; string += std::wcslen(string) + 1)
        strings.append(QString::fromWCharArray(string));
    return strings;
}

// The product's name as the USB device descriptor gives it ("FT232R USB
// UART"), where the bus reported one.
QString BusReportedName(HDEVINFO set, SP_DEVINFO_DATA& device)
{
    DEVPROPTYPE type = 0;
    DWORD size = 0;
    SetupDiGetDevicePropertyW(set, &device, &DEVPKEY_Device_BusReportedDeviceDesc, &type, nullptr,
                              0, &size, 0);
    if (size == 0 || type != DEVPROP_TYPE_STRING)
        return {};
    std::vector<wchar_t> text(size / sizeof(wchar_t) + 1, L'\0');
    if (!SetupDiGetDevicePropertyW(set, &device, &DEVPKEY_Device_BusReportedDeviceDesc, &type,
                                   reinterpret_cast<BYTE*>(text.data()), size, nullptr, 0))
        return {};
    return QString::fromWCharArray(text.data());
}

// The instance IDs of the device and of the devices above it, nearest first:
// "FTDIBUS\VID_0403+PID_6001+A10K3B2CA\0000", "USB\VID_0403&PID_6001\A10K3B2C", ...
QStringList InstanceIds(DEVINST device)
{
    QStringList ids;
    for (DEVINST node = device;;) {
        wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
        if (CM_Get_Device_IDW(node, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS)
            break;
        ids.append(QString::fromWCharArray(id));
        DEVINST parent = 0;
        if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS)
            break;
        node = parent;
    }
    return ids;
}

// The vendor and product IDs from the first of these IDs that carries them,
// in lower case as Linux gives them; and the serial number from the USB
// device's own instance ID ("USB\VID_0403&PID_6001\A10K3B2C"), not from an
// interface's ("...&MI_00\...") nor from one that Windows made up for a
// device without a serial number, which has "&" in it.
void ReadUsbIds(const QStringList& ids, DeviceIdentity& identity)
{
    static const QRegularExpression vendorAndProduct(
        QStringLiteral("VID_([0-9A-F]{4}).PID_([0-9A-F]{4})"),
        QRegularExpression::CaseInsensitiveOption);
    for (const QString& id : ids) {
        const QRegularExpressionMatch match = vendorAndProduct.match(id);
        if (!match.hasMatch())
            continue;
        if (identity.vendorId.isEmpty()) {
            identity.vendorId = match.captured(1).toLower();
            identity.productId = match.captured(2).toLower();
        }
        const QStringList parts = id.split(QLatin1Char('\\'));
        if (parts.size() == 3 && parts[0].compare(QLatin1String("USB"), Qt::CaseInsensitive) == 0 &&
            !parts[1].contains(QLatin1String("&MI_"), Qt::CaseInsensitive) &&
            !parts[2].contains(QLatin1Char('&'))) {
            identity.serialNumber = parts[2];
            return;
        }
    }
}

// Whether the device's registry key names it as the port `port` ("COM5").
bool ClaimsPort(HDEVINFO set, SP_DEVINFO_DATA& device, const QString& port)
{
    const HKEY opened =
        SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    if (opened == INVALID_HANDLE_VALUE)
        return false;
    const Key key(opened);
    return StringValue(key.get(), L"PortName").compare(port, Qt::CaseInsensitive) == 0;
}

// What the device manager says of the device that has the port `port`;
// nothing when no present device claims it.
void ReadDeviceManager(const QString& port, DeviceIdentity& identity)
{
    const struct
    {
        const GUID* guid;
        DWORD flags;
    } sets[] = {{&GUID_DEVCLASS_PORTS, DIGCF_PRESENT},
                {&ComPortInterface, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE}};
    for (const auto& [guid, flags] : sets) {
        const HDEVINFO made = SetupDiGetClassDevsW(guid, nullptr, nullptr, flags);
        if (made == INVALID_HANDLE_VALUE)
            continue;
        const DeviceSet set(made);
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        for (DWORD index = 0; SetupDiEnumDeviceInfo(set.get(), index, &device); ++index) {
            if (!ClaimsPort(set.get(), device, port))
                continue;
            identity.friendlyName = DeviceProperty(set.get(), device, SPDRP_FRIENDLYNAME).value(0);
            identity.driver = DeviceProperty(set.get(), device, SPDRP_SERVICE).value(0);
            identity.manufacturer = DeviceProperty(set.get(), device, SPDRP_MFG).value(0);
            identity.product = BusReportedName(set.get(), device);
            ReadUsbIds(InstanceIds(device.DevInst) +
                           DeviceProperty(set.get(), device, SPDRP_HARDWAREID),
                       identity);
            return;
        }
    }
}

// The device object behind the port `port` in the serial port map
// ("\Device\Serial0", "\Device\VCP0"); empty when the map has none.
QString SerialMapDevice(const QString& port)
{
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE,
                      &opened) != ERROR_SUCCESS)
        return {};
    const Key key(opened);
    // Device object names are short, and so are COM names.
    constexpr DWORD NameLength = 256;
    for (DWORD index = 0;; ++index) {
        wchar_t name[NameLength + 1] = {};
        wchar_t value[NameLength + 1] = {};
        DWORD nameLength = NameLength;
        DWORD valueSize = NameLength * sizeof(wchar_t);
        DWORD type = 0;
        const LSTATUS status = RegEnumValueW(key.get(), index, name, &nameLength, nullptr, &type,
                                             reinterpret_cast<BYTE*>(value), &valueSize);
        // A value too long for a device object or a COM name is neither.
        if (status == ERROR_MORE_DATA)
            continue;
        if (status != ERROR_SUCCESS)
            return {};
        if (type == REG_SZ &&
            QString::fromWCharArray(value).compare(port, Qt::CaseInsensitive) == 0)
            return QString::fromWCharArray(name);
    }
}

} // namespace

DeviceIdentity IdentifyDevice(const QString& device, const QString&)
{
    // "\\.\COM5" names the port COM5.
    const QString port = device.section(QLatin1Char('\\'), -1);
    DeviceIdentity identity;
    ReadDeviceManager(port, identity);
    identity.deviceObject = SerialMapDevice(port);
    return identity;
}
