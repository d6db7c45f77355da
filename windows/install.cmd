@echo off
rem Registers macgate.dll as a callout library of the local DHCP Server service
rem and sets its three files. Run as an administrator:
rem
rem     install.cmd DLL LIST ERRORLOG [INFOLOG]
rem
rem DLL is macgate.dll (the x86 build on a 32-bit server), LIST the filter
rem list file, ERRORLOG and INFOLOG the error and info logs; without INFOLOG
rem the info log is off. Relative paths are made absolute. Every value it
rem changes is saved first under HKLM\Software\macgate, so that
rem uninstall.cmd can put back exactly what was there before.
setlocal EnableExtensions DisableDelayedExpansion

set "PARAMS=HKLM\System\CurrentControlSet\Services\DhcpServer\Parameters"
set "SAVED=HKLM\Software\macgate"

if "%~3"=="" goto usage
if not "%~5"=="" goto usage
set "DLL=%~f1"
set "LIST=%~f2"
set "ERRORLOG=%~f3"
set "INFOLOG="
if not "%~4"=="" set "INFOLOG=%~f4"

if not exist "%DLL%" (
    echo install.cmd: "%DLL%" does not exist.
    exit /b 1
)
if not exist "%LIST%" echo install.cmd: warning: the list file "%LIST%" does not exist yet.
reg query "%PARAMS%" >nul 2>&1
if errorlevel 1 (
    echo install.cmd: the DHCP Server service is not installed on this machine ^(no %PARAMS%^).
    exit /b 1
)
reg query "%SAVED%" /v InstalledDll >nul 2>&1
if not errorlevel 1 (
    echo install.cmd: macgate is installed already; run uninstall.cmd first.
    exit /b 1
)

rem The first write doubles as the check for administrator rights.
reg add "%SAVED%" /v InstalledDll /t REG_SZ /d "%DLL%" /f >nul 2>&1
if errorlevel 1 (
    echo install.cmd: cannot write to the registry; run this as an administrator.
    exit /b 1
)
for %%v in (CalloutDlls CalloutEnabled CalloutErrorLogFile CalloutMacAddressListFile CalloutInfoLogFile) do (
    call :save %%v
    if errorlevel 1 goto failed
)

rem Other callout libraries stay registered: ours is added to the list.
call :read "%PARAMS%" CalloutDlls
set "DLLS=%DLL%"
if defined DATA call :append
reg add "%PARAMS%" /v CalloutDlls /t REG_MULTI_SZ /d "%DLLS%" /f >nul
if errorlevel 1 goto failed
reg add "%SAVED%" /v WrittenCalloutDlls /t REG_MULTI_SZ /d "%DLLS%" /f >nul
if errorlevel 1 goto failed
reg add "%PARAMS%" /v CalloutEnabled /t REG_DWORD /d 1 /f >nul
if errorlevel 1 goto failed
reg add "%PARAMS%" /v CalloutErrorLogFile /t REG_SZ /d "%ERRORLOG%" /f >nul
if errorlevel 1 goto failed
reg add "%PARAMS%" /v CalloutMacAddressListFile /t REG_SZ /d "%LIST%" /f >nul
if errorlevel 1 goto failed
if defined INFOLOG (
    reg add "%PARAMS%" /v CalloutInfoLogFile /t REG_SZ /d "%INFOLOG%" /f >nul
    if errorlevel 1 goto failed
) else (
    reg delete "%PARAMS%" /v CalloutInfoLogFile /f >nul 2>&1
)

echo macgate is registered with the DHCP server:
echo     callout library  "%DLL%"
echo     list file        "%LIST%"
echo     error log        "%ERRORLOG%"
if defined INFOLOG (echo     info log         "%INFOLOG%") else (echo     info log         off)
echo The DHCP server loads it when it starts. Restart the service now with:
echo     net stop dhcpserver ^& net start dhcpserver
exit /b 0

:failed
echo install.cmd: a registry change failed; run uninstall.cmd to put back what was there.
exit /b 1

:usage
echo usage: install.cmd DLL LIST ERRORLOG [INFOLOG]
exit /b 2

rem Reads value %2 of key %1 into TYPE and DATA; TYPE stays empty when the
rem value does not exist.
:read
set "TYPE="
set "DATA="
for /f "tokens=1,2,*" %%a in ('reg query "%~1" /v %2 2^>nul') do (
    if /i "%%a"=="%2" (
        set "TYPE=%%b"
        set "DATA=%%c"
    )
)
exit /b 0

rem Copies value %1 of the server's parameters, if it exists, into our key.
rem The data goes from reg query to reg add through the loop's variables only:
rem Wine's cmd expands %...% again inside the value of %DATA%, which would
rem save a REG_EXPAND_SZ such as "%SystemRoot%\dhcp.log" expanded.
:save
for /f "tokens=1,2,*" %%a in ('reg query "%PARAMS%" /v %1 2^>nul') do (
    if /i "%%a"=="%1" (
        reg add "%SAVED%" /v %1 /t %%b /d "%%c" /f >nul
        if errorlevel 1 exit /b 1
    )
)
exit /b 0

rem Adds our library after the ones already listed, unless it is among them.
rem The list's "\0" separators become "|", which no file name holds.
:append
set "DLLS=%DATA%"
set "REST=%DATA:\0=|%"
:append_next
set "CURRENT=%REST%"
set "REST="
set "ITEM="
for /f "tokens=1* delims=|" %%a in ("%CURRENT%") do (
    set "ITEM=%%a"
    set "REST=%%b"
)
if /i "%ITEM%"=="%DLL%" exit /b 0
if defined REST goto append_next
set "DLLS=%DATA%\0%DLL%"
exit /b 0
