@echo off
rem Undoes install.cmd: takes macgate.dll out of the DHCP server's callout
rem libraries and puts back every value install.cmd changed as it was before.
rem Run as an administrator:
rem
rem     uninstall.cmd
setlocal EnableExtensions DisableDelayedExpansion

set "PARAMS=HKLM\System\CurrentControlSet\Services\DhcpServer\Parameters"
set "SAVED=HKLM\Software\macgate"

if not "%~1"=="" (
    echo usage: uninstall.cmd
    exit /b 2
)
call :read "%SAVED%" InstalledDll
if not defined TYPE (
    echo uninstall.cmd: macgate is not installed.
    exit /b 1
)
set "DLL=%DATA%"

for %%v in (CalloutEnabled CalloutErrorLogFile CalloutMacAddressListFile CalloutInfoLogFile) do (
    call :restore %%v
    if errorlevel 1 goto failed
)

rem CalloutDlls goes back to what it was, unless someone registered another
rem library since: then only ours is taken out of the list.
call :read "%SAVED%" WrittenCalloutDlls
set "WRITTEN=%DATA%"
call :read "%PARAMS%" CalloutDlls
if not defined TYPE goto dlls_done
if not defined DATA goto dlls_done
if "%DATA%"=="%WRITTEN%" (
    call :restore CalloutDlls
    if errorlevel 1 goto failed
    goto dlls_done
)
call :remove
if defined DLLS (
    reg add "%PARAMS%" /v CalloutDlls /t REG_MULTI_SZ /d "%DLLS%" /f >nul
    if errorlevel 1 goto failed
) else (
    reg delete "%PARAMS%" /v CalloutDlls /f >nul
    if errorlevel 1 goto failed
)
:dlls_done

reg delete "%SAVED%" /f >nul
if errorlevel 1 goto failed
echo macgate is no longer registered with the DHCP server. Restart the service with:
echo     net stop dhcpserver ^& net start dhcpserver
exit /b 0

:failed
echo uninstall.cmd: a registry change failed; run this as an administrator.
exit /b 1

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

rem Puts value %1 back as install.cmd found it: the saved copy, or no value.
rem The data goes from reg query to reg add through the loop's variables only,
rem as in install.cmd: Wine's cmd would expand %...% again inside %DATA%.
:restore
set "FOUND="
for /f "tokens=1,2,*" %%a in ('reg query "%SAVED%" /v %1 2^>nul') do (
    if /i "%%a"=="%1" (
        set "FOUND=1"
        reg add "%PARAMS%" /v %1 /t %%b /d "%%c" /f >nul
        if errorlevel 1 exit /b 1
    )
)
if defined FOUND exit /b 0
reg query "%PARAMS%" /v %1 >nul 2>&1
if errorlevel 1 exit /b 0
reg delete "%PARAMS%" /v %1 /f >nul
exit /b %ERRORLEVEL%

rem Takes our library out of the list in DATA; DLLS is what remains. The
rem list's "\0" separators become "|", which no file name holds.
:remove
set "DLLS="
set "REST=%DATA:\0=|%"
:remove_next
set "CURRENT=%REST%"
set "REST="
set "ITEM="
for /f "tokens=1* delims=|" %%a in ("%CURRENT%") do (
    set "ITEM=%%a"
    set "REST=%%b"
)
if defined ITEM if /i not "%ITEM%"=="%DLL%" (
    if defined DLLS (set "DLLS=%DLLS%\0%ITEM%") else (set "DLLS=%ITEM%")
)
if defined REST goto remove_next
exit /b 0
