@echo off
rem Registers macgate.dll as the callout library of the local DHCP Server
rem service and sets its three files. Run as an administrator:
rem
rem     install.cmd [/first] [/force] [/restart] DLL LIST ERRORLOG [INFOLOG]
rem
rem DLL is macgate.dll (the x86 build on a 32-bit server), LIST the filter
rem list file, ERRORLOG and INFOLOG the error and info logs; without INFOLOG
rem the info log is off. Relative paths are made absolute.
rem
rem The server loads only the first library of CalloutDlls that starts, and
rem macgate loads no other. So while other libraries are listed, install.cmd
rem refuses, unless /first puts macgate first: the others then stop running.
rem Before it changes anything it checks LIST with macgate.exe (beside DLL or
rem beside this script), and refuses a list that cannot be read or loads no
rem address, unless /force is given. It creates the logs' folders and lets
rem NETWORK SERVICE, the service's account, modify them and read the list.
rem /restart restarts the DHCP Server service and says how the filter started.
rem
rem Every value it changes is saved first under HKLM\Software\macgate, so
rem that uninstall.cmd can put back exactly what was there before.
setlocal EnableExtensions DisableDelayedExpansion

set "PARAMS=HKLM\System\CurrentControlSet\Services\DhcpServer\Parameters"
set "SAVED=HKLM\Software\macgate"
rem NETWORK SERVICE by its SID: its name differs between languages of Windows.
set "ACCOUNT=*S-1-5-20"
rem shift moves %0 too.
set "HERE=%~dp0"

set "FIRST="
set "FORCE="
set "RESTART="
:options
if /i "%~1"=="/first" (set "FIRST=1" & shift & goto options)
if /i "%~1"=="/force" (set "FORCE=1" & shift & goto options)
if /i "%~1"=="/restart" (set "RESTART=1" & shift & goto options)
set "ARG=%~1"
if defined ARG if "%ARG:~0,1%"=="/" goto usage
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

rem The server loads the first library that starts and hands it the rest to
rem load; macgate loads none. Listed after another library it would run only
rem if that one loads it, and listed first it stops the others.
call :read "%PARAMS%" CalloutDlls
call :split
if not defined OTHERS goto others_done
if defined FIRST goto others_done
echo install.cmd: other callout libraries are registered with the DHCP server:
set "PRINT=%OTHERS%"
call :print
echo The server loads only the first library of CalloutDlls that starts and leaves
echo the others to it, and macgate loads no other library: added after these, macgate
echo would run only if they load it. Run install.cmd /first to put macgate first;
echo the server then loads macgate and no longer loads them.
call :read "%PARAMS%" CalloutEnabled
if /i "%DATA%"=="0x0" echo CalloutEnabled is 0 now, so none of them runs; the same holds once it is 1.
exit /b 1
:others_done

rem An empty or unreadable list lets every client through.
set "TOOL="
for %%d in ("%DLL%") do if exist "%%~dpdmacgate.exe" set "TOOL=%%~dpdmacgate.exe"
if not defined TOOL if exist "%HERE%macgate.exe" set "TOOL=%HERE%macgate.exe"
if defined TOOL goto check
if defined FORCE (
    echo install.cmd: warning: no macgate.exe beside the DLL or this script; the list is not checked.
    goto checked
)
echo install.cmd: no macgate.exe beside "%DLL%" or beside this script to check the list with.
echo Copy macgate.exe there, or run install.cmd /force to install without a check.
exit /b 1
:check
set "CHECKOUT=%TEMP%\macgate-check-%RANDOM%%RANDOM%.txt"
"%TOOL%" check "%LIST%" >"%CHECKOUT%" 2>&1
set "CHECKED=%ERRORLEVEL%"
echo macgate.exe check:
rem All it printed when it could not read the list, else its summary.
if not "%CHECKED%"=="2" goto check_summary
for /f "usebackq delims=" %%l in ("%CHECKOUT%") do echo     %%l
goto check_shown
:check_summary
for /f "delims=" %%l in ('find " loaded, " ^<"%CHECKOUT%"') do echo     %%l
:check_shown
set "EMPTY="
find ": no address loaded" <"%CHECKOUT%" >nul 2>&1
if not errorlevel 1 set "EMPTY=1"
del /f /q "%CHECKOUT%" >nul 2>&1
set "REASON="
if defined EMPTY set "REASON=loads no address"
if "%CHECKED%"=="2" set "REASON=cannot be read"
if not defined REASON goto checked
if defined FORCE (
    echo install.cmd: warning: the list %REASON%, so every client will be served; installing all the same.
    goto checked
)
echo install.cmd: the list %REASON%, so every client would be served. Mend the list,
echo or run install.cmd /force to install all the same.
exit /b 1
:checked

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

rem Ours first, then the others in their order. When ours was not listed,
rem the old list goes through the loop's variables only (see :save).
set "NEWDLLS=%DLL%"
if defined OTHERS if defined OURS set "NEWDLLS=%DLL%\0%OTHERS:|=\0%"
if defined OTHERS if not defined OURS goto put_first
reg add "%PARAMS%" /v CalloutDlls /t REG_MULTI_SZ /d "%NEWDLLS%" /f >nul
if errorlevel 1 goto failed
goto dlls_written
:put_first
call :put_first
if errorlevel 1 goto failed
:dlls_written
call :copy CalloutDlls WrittenCalloutDlls
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
if defined OTHERS (
    echo macgate comes first; the DHCP server will no longer load:
    set "PRINT=%OTHERS%"
    call :print
)

rem Start-up runs as NETWORK SERVICE: without these rights it ends quietly
rem and every client is served.
set "PROBLEM="
set "GRANTED="
set "TARGET=%ERRORLOG%"
call :log_folder
if defined INFOLOG (
    set "TARGET=%INFOLOG%"
    call :log_folder
)
call :list_rights

if defined RESTART goto restart
echo The DHCP server loads it when it starts. Restart the service now with:
echo     net stop dhcpserver ^& net start dhcpserver
goto done

:restart
echo Restarting the DHCP Server service:
net stop dhcpserver
set "STATUS=%ERRORLEVEL%"
if not "%STATUS%"=="0" echo install.cmd: net stop dhcpserver exited %STATUS%; the service may not have been running.
rem An error log left from before must not pass for this start's.
if exist "%ERRORLOG%" del /f /q "%ERRORLOG%" >nul 2>&1
net start dhcpserver
set "STATUS=%ERRORLEVEL%"
if not "%STATUS%"=="0" (
    echo install.cmd: net start dhcpserver failed with exit status %STATUS%: the DHCP server is not running.
    exit /b 1
)
if not exist "%ERRORLOG%" (
    echo install.cmd: the DHCP server started, but no error log was written: the server did not
    echo load macgate, or start-up could not create "%ERRORLOG%" and loaded nothing,
    echo so every client is served.
    exit /b 1
)
for %%f in ("%ERRORLOG%") do set "SIZE=%%~zf"
if "%SIZE%"=="0" (
    echo The filter started cleanly: its error log is empty.
    goto done
)
echo The filter's start-up wrote to its error log:
for /f "usebackq delims=" %%l in ("%ERRORLOG%") do echo     %%l
rem These messages mean that nothing was loaded.
find /i "Could not" <"%ERRORLOG%" >nul 2>&1
if not errorlevel 1 set "PROBLEM=1"
find "File format not proper" <"%ERRORLOG%" >nul 2>&1
if not errorlevel 1 set "PROBLEM=1"
if defined PROBLEM echo install.cmd: the filter loaded no address, so every client is served.

:done
if defined TOOL echo "%TOOL%" status shows what the server will do at its next start.
if defined PROBLEM exit /b 1
exit /b 0

:failed
echo install.cmd: a registry change failed; run uninstall.cmd to put back what was there.
exit /b 1

:usage
echo usage: install.cmd [/first] [/force] [/restart] DLL LIST ERRORLOG [INFOLOG]
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

rem Copies value %1 of the server's parameters into our key as value %2.
:copy
for /f "tokens=1,2,*" %%a in ('reg query "%PARAMS%" /v %1 2^>nul') do (
    if /i "%%a"=="%1" (
        reg add "%SAVED%" /v %2 /t %%b /d "%%c" /f >nul
        if errorlevel 1 exit /b 1
    )
)
exit /b 0

rem Puts our library before the listed ones, as they stand.
:put_first
for /f "tokens=1,2,*" %%a in ('reg query "%PARAMS%" /v CalloutDlls 2^>nul') do (
    if /i "%%a"=="CalloutDlls" (
        reg add "%PARAMS%" /v CalloutDlls /t REG_MULTI_SZ /d "%DLL%\0%%c" /f >nul
        if errorlevel 1 exit /b 1
    )
)
exit /b 0

rem Splits DATA, a list as reg query prints it: OTHERS gets the libraries
rem other than ours, separated by "|", which no file name holds; OURS is
rem set when ours is among them.
:split
set "OTHERS="
set "OURS="
if not defined DATA exit /b 0
set "REST=%DATA:\0=|%"
:split_next
set "CURRENT=%REST%"
set "REST="
set "ITEM="
for /f "tokens=1* delims=|" %%a in ("%CURRENT%") do (
    set "ITEM=%%a"
    set "REST=%%b"
)
if not defined ITEM goto split_item_done
if /i "%ITEM%"=="%DLL%" (
    set "OURS=1"
) else if defined OTHERS (
    set "OTHERS=%OTHERS%|%ITEM%"
) else (
    set "OTHERS=%ITEM%"
)
:split_item_done
if defined REST goto split_next
exit /b 0

rem Prints each name of PRINT ("|"-separated) on a line of its own.
:print
set "CURRENT=%PRINT%"
set "PRINT="
set "ITEM="
for /f "tokens=1* delims=|" %%a in ("%CURRENT%") do (
    set "ITEM=%%a"
    set "PRINT=%%b"
)
if defined ITEM echo     "%ITEM%"
if defined PRINT goto print
exit /b 0

rem Makes the folder of the log TARGET when it is missing and lets the
rem service's account create and write files in it.
:log_folder
for %%f in ("%TARGET%\..") do set "FOLDER=%%~ff"
if not exist "%FOLDER%\" (
    mkdir "%FOLDER%" >nul 2>&1
    if exist "%FOLDER%\" echo created the folder "%FOLDER%"
)
if not exist "%FOLDER%\" (
    echo install.cmd: cannot create the folder "%FOLDER%".
    set "PROBLEM=1"
    exit /b 0
)
if /i "%FOLDER%"=="%GRANTED%" exit /b 0
rem A drive's root folder is left alone: the right would reach every file.
if "%FOLDER:~-1%"=="\" (
    echo install.cmd: warning: not granting rights on "%FOLDER%"; let NETWORK SERVICE modify "%TARGET%" yourself.
    exit /b 0
)
icacls "%FOLDER%" /grant "%ACCOUNT%:(OI)(CI)M" >nul
set "STATUS=%ERRORLEVEL%"
if not "%STATUS%"=="0" (
    echo install.cmd: icacls could not let NETWORK SERVICE modify "%FOLDER%" ^(exit status %STATUS%^).
    set "PROBLEM=1"
    exit /b 0
)
echo granted NETWORK SERVICE modify rights on "%FOLDER%"
set "GRANTED=%FOLDER%"
exit /b 0

rem Lets the service's account read the list. On a share the servers'
rem computer accounts read it, and the share's own rights decide.
:list_rights
if "%LIST:~0,2%"=="\\" (
    echo The list is on a share: the DHCP servers' computer accounts must be able to read it there.
    exit /b 0
)
if not exist "%LIST%" (
    echo install.cmd: warning: "%LIST%" does not exist; no rights granted on it.
    exit /b 0
)
icacls "%LIST%" /grant "%ACCOUNT%:R" >nul
set "STATUS=%ERRORLEVEL%"
if not "%STATUS%"=="0" (
    echo install.cmd: icacls could not let NETWORK SERVICE read "%LIST%" ^(exit status %STATUS%^).
    set "PROBLEM=1"
    exit /b 0
)
echo granted NETWORK SERVICE read rights on "%LIST%"
exit /b 0
