# Intune remediation, remediation script (run as SYSTEM, in 64-bit PowerShell): sets
# TcpMaxDataRetransmissions = 1 (REG_DWORD). The TCP/IP stack reads it when the machine
# restarts. To undo: Remove-ItemProperty -Path $key -Name $name
$key = 'HKLM:\SYSTEM\CurrentControlSet\Services\Tcpip\Parameters'
$name = 'TcpMaxDataRetransmissions'
New-ItemProperty -Path $key -Name $name -PropertyType DWord -Value 1 -Force | Out-Null
Write-Output "$name set to 1; it takes effect when the machine restarts"
