// The benchmark's floor: the same setting written and read back with the registry API
// directly, and the same box. Nothing can do the tool's job with less.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    const wchar_t* key = L"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters";
    HKEY parameters = nullptr;
    bool confirmed = false;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_SET_VALUE | KEY_QUERY_VALUE,
                        nullptr, &parameters, nullptr) == ERROR_SUCCESS) {
        const DWORD one = 1;
        DWORD read = 0, size = sizeof read, type = 0;
        confirmed =
            RegSetValueExW(parameters, L"TcpMaxDataRetransmissions", 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&one), sizeof one) == ERROR_SUCCESS &&
            RegQueryValueExW(parameters, L"TcpMaxDataRetransmissions", nullptr, &type,
                             reinterpret_cast<BYTE*>(&read), &size) == ERROR_SUCCESS &&
            type == REG_DWORD && read == 1;
        RegCloseKey(parameters);
    }
    if (confirmed) {
        MessageBoxW(nullptr, L"\u7F51\u7EDC\u8BBE\u7F6E\u6210\u529F", L"TorvaNetWork", 64);
    } else {
        MessageBoxW(nullptr, L"\u7F51\u7EDC\u8BBE\u7F6E\u5931\u8D25\uFF0C", L"TorvaNetWork", 16);
    }
    return 0;
}
