@echo off
rem Undoes install.cmd: puts back the access list of each item it granted
rem NETWORK SERVICE rights on, as it was before the grant (icacls /restore),
rem takes macgate.dll out of the DHCP server's callout libraries and puts back
rem every value install.cmd changed as it was before. Then it says what
rem CalloutDlls holds. Run as an administrator:
rem
rem     uninstall.cmd
setlocal EnableExtensions DisableDelayedExpansion

set "PARAMS=HKLM\System\CurrentControlSet\Services\DhcpServer\Parameters"
set "SAVED=HKLM\Software\macgate"
set "ACCOUNT=*S-1-5-20"

if not "%~1"=="" (
    echo usage: uninstall.cmd
    exit /b 2
)
call :read "%SAVED%" InstalledDll
if defined TYPE goto installed
echo uninstall.cmd: install.cmd has not installed macgate here, so there is nothing to put back.
set "DLL="
call :holds
exit /b 1
:installed
set "DLL=%DATA%"

rem The rights first: their record goes with our key.
set "PROBLEM="
set /a NUMBER=1
:revoke
call :read "%SAVED%" Grant%NUMBER%
if not defined TYPE goto revoked
set "ITEM=%DATA%"
call :read "%SAVED%" GrantSaved%NUMBER%
set "ACLFILE=%DATA%"
call :put_back
if errorlevel 1 set "PROBLEM=1"
set /a NUMBER+=1
goto revoke
:revoked

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
echo install.cmd's values are put back.
call :holds
echo Restart the service with:
echo     net stop dhcpserver ^& net start dhcpserver
echo or, in PowerShell:
echo     Restart-Service DHCPServer
if defined PROBLEM exit /b 1
exit /b 0

:failed
echo uninstall.cmd: a registry change failed; run this as an administrator.
exit /b 1

rem Says what CalloutDlls holds now, and whether it still names macgate: DLL,
rem or any macgate.dll.
:holds
call :read "%PARAMS%" CalloutDlls
if not defined TYPE (
    echo CalloutDlls does not exist: the DHCP server loads no callout library.
    exit /b 0
)
if not defined DATA (
    echo CalloutDlls is empty: the DHCP server loads no callout library.
    exit /b 0
)
set "NAMED="
set "LISTED="
set "REST=%DATA:\0=|%"
:holds_next
set "CURRENT=%REST%"
set "REST="
set "ITEM="
for /f "tokens=1* delims=|" %%a in ("%CURRENT%") do (
    set "ITEM=%%a"
    set "REST=%%b"
)
if not defined ITEM goto holds_item_done
set "LISTED=%LISTED%|%ITEM%"
if defined DLL if /i "%ITEM%"=="%DLL%" set "NAMED=1"
for %%f in ("%ITEM%") do if /i "%%~nxf"=="macgate.dll" set "NAMED=1"
:holds_item_done
if defined REST goto holds_next
if defined NAMED (
    echo CalloutDlls still names macgate, so the DHCP server still loads it:
) else (
    echo macgate is no longer registered with the DHCP server. CalloutDlls holds:
)
set "CURRENT=%LISTED%"
:holds_print
set "ITEM="
set "REST="
for /f "tokens=1* delims=|" %%a in ("%CURRENT%") do (
    set "ITEM=%%a"
    set "REST=%%b"
)
if defined ITEM echo     "%ITEM%"
set "CURRENT=%REST%"
if defined CURRENT goto holds_print
if defined NAMED echo Take it out of CalloutDlls by hand if it should no longer run.
exit /b 0

rem Puts back ITEM's access list from ACLFILE, saved by install.cmd before
rem its grant, and deletes the file; without a saved list (an install by an
rem older install.cmd), takes back NETWORK SERVICE's grants on it.
:put_back
if not defined ACLFILE goto put_back_remove
for %%f in ("%ITEM%") do set "PARENT=%%~dpf"
rem icacls would read the backslash before a closing quote as a quote.
if "%PARENT:~-2%"==":\" (set "PARENT=%PARENT%.") else (set "PARENT=%PARENT:~0,-1%")
icacls "%PARENT%" /restore "%ACLFILE%" >nul
if errorlevel 1 (
    echo uninstall.cmd: icacls could not put back the access list of "%ITEM%" from "%ACLFILE%".
    exit /b 1
)
del /f /q "%ACLFILE%" >nul 2>&1
echo put back the access list of "%ITEM%" as it was before its grant
exit /b 0
:put_back_remove
icacls "%ITEM%" /remove:g "%ACCOUNT%" >nul
if errorlevel 1 (
    echo uninstall.cmd: icacls could not take back NETWORK SERVICE's rights on "%ITEM%".
    exit /b 1
)
echo took back NETWORK SERVICE's rights on "%ITEM%"
exit /b 0

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
