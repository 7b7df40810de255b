# Intune remediation, detection script (run as SYSTEM, in 64-bit PowerShell).
# Exit 0 when TcpMaxDataRetransmissions is a REG_DWORD 1; exit 1 (remediate) when it is
# missing, of another type or another number.
$key = 'HKLM:\SYSTEM\CurrentControlSet\Services\Tcpip\Parameters'
$name = 'TcpMaxDataRetransmissions'
try {
    $item = Get-Item -Path $key -ErrorAction Stop
    if ($item.GetValueKind($name) -eq 'DWord' -and $item.GetValue($name) -eq 1) {
        Write-Output "$name is 1"
        exit 0
    }
} catch { }
Write-Output "$name is not a REG_DWORD 1"
exit 1
