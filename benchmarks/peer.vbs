' The benchmark's script peer: the same three calls through the same "Wscript.Shell" object,
' and the same box. Kept as UTF-8 here; the benchmark hands it to wscript.exe in code page 936.
Option Explicit
Const ValueName = "HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Tcpip\Parameters\TcpMaxDataRetransmissions"
Dim shell, value
Set shell = CreateObject("Wscript.Shell")
shell.RegWrite ValueName, "1", "REG_DWORD"
value = shell.RegRead(ValueName)
Set shell = Nothing
If value = 1 Then
    MsgBox "网络设置成功", 64, "TorvaNetWork"
Else
    MsgBox "网络设置失败，", 16, "TorvaNetWork"
End If
