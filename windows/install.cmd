@echo off
rem Registers macgate.dll as the callout library of the local DHCP Server
rem service and sets its three files, or, when macgate is registered already,
rem changes its DLL and files in place. Run as an administrator:
rem
rem     install.cmd [/first] [/force] [/restart] DLL LIST ERRORLOG [INFOLOG]
rem
rem DLL is macgate.dll (the x86 build on a 32-bit server), LIST the filter
rem list file, ERRORLOG and INFOLOG the error and info logs; without INFOLOG
rem the info log is off. Relative paths are made absolute.
rem
rem Every check comes before the first change: DLL must be macgate for this
rem Windows' processor (macgate.exe inspect), the four paths must pass
rem macgate.exe paths (files, four different ones, a log empty or a log of
rem macgate's, no device path, device name or character no file name holds,
rem at most 259 characters) and no log may sit in a system folder; LIST is
rem checked with macgate.exe check (macgate.exe is the one beside DLL or
rem beside this script), and a list that cannot be read, loads no address or
rem has sections in error (a section line in error, or an ALLOW section that
rem loads nothing) is refused unless /force is given.
rem The server loads only the first library of CalloutDlls that starts, and
rem macgate loads no other. So while other libraries come before macgate,
rem install.cmd refuses, unless /first puts macgate first: the others then
rem stop running.
rem
rem It creates a log's own folder when it is missing (no folder above it)
rem and lets NETWORK SERVICE, the service's account, modify that folder; in a
rem folder that exists, only the log file itself. It lets the account read
rem the list. Each item is granted once: its access list is saved first
rem (icacls /save, to macgate-acl-N.txt beside DLL) and the grant recorded,
rem so that uninstall.cmd puts back each access list as it was. An update
rem puts back the access lists of the items it no longer uses. Every value
rem written is read back; on any failure after the first change, everything
rem changed is put back as it was. /restart restarts the DHCP Server service
rem and says how the filter started.
rem
rem Every server value it changes is saved first under HKLM\Software\macgate,
rem so that uninstall.cmd can put back exactly what was there before.
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

rem Each path as it was typed: a quote inside it, or a backslash before its
rem closing quote, which reg.exe reads as an escaped quote, would register
rem another path than the one shown.
set ARG=%1
call :shape DLL
if errorlevel 1 exit /b 1
set ARG=%2
call :shape list
if errorlevel 1 exit /b 1
set ARG=%3
call :shape "error log"
if errorlevel 1 exit /b 1
set ARG=%4
if not "%~4"=="" call :shape "info log"
if errorlevel 1 exit /b 1
set "DLL=%~f1"
set "LIST=%~f2"
set "ERRORLOG=%~f3"
set "INFOLOG="
if not "%~4"=="" set "INFOLOG=%~f4"
rem cmd makes a path of more than 259 characters empty.
set "ROLE="
if not defined DLL set "ROLE=DLL"
if not defined LIST set "ROLE=list"
if not defined ERRORLOG set "ROLE=error log"
if not "%~4"=="" if not defined INFOLOG set "ROLE=info log"
if defined ROLE (
    echo install.cmd: the %ROLE% path is longer than cmd can pass on: at most 259 characters,
    echo once made absolute. Give a shorter one.
    exit /b 1
)

if not exist "%DLL%" (
    echo install.cmd: "%DLL%" does not exist.
    exit /b 1
)
call :is_folder "%DLL%"
if not errorlevel 1 (
    echo install.cmd: "%DLL%" is a folder, not the DLL.
    exit /b 1
)
set "TOOL="
for %%d in ("%DLL%") do if exist "%%~dpdmacgate.exe" set "TOOL=%%~dpdmacgate.exe"
if not defined TOOL if exist "%HERE%macgate.exe" set "TOOL=%HERE%macgate.exe"
if not defined TOOL (
    echo install.cmd: no macgate.exe beside "%DLL%" or beside this script to check the DLL
    echo and the list with. Copy macgate.exe there from the zip.
    exit /b 1
)

set "CHECKOUT=%TEMP%\macgate-check-%RANDOM%%RANDOM%.txt"
if defined INFOLOG (
    "%TOOL%" paths "%DLL%" "%LIST%" "%ERRORLOG%" "%INFOLOG%" >"%CHECKOUT%" 2>&1
) else (
    "%TOOL%" paths "%DLL%" "%LIST%" "%ERRORLOG%" >"%CHECKOUT%" 2>&1
)
set "CHECKED=%ERRORLEVEL%"
if "%CHECKED%"=="0" goto paths_checked
if "%CHECKED%"=="1" (echo install.cmd: macgate.exe paths refuses these paths; nothing was changed:) else (
    echo install.cmd: macgate.exe paths could not check the paths ^(exit status %CHECKED%^); nothing was changed:
)
for /f "usebackq delims=" %%l in ("%CHECKOUT%") do echo     %%l
del /f /q "%CHECKOUT%" >nul 2>&1
exit /b 1
:paths_checked
set "TARGET=%ERRORLOG%"
set "ROLE=error log"
call :log_place
if errorlevel 1 exit /b 1
if not defined INFOLOG goto places_done
set "TARGET=%INFOLOG%"
set "ROLE=info log"
call :log_place
if errorlevel 1 exit /b 1
:places_done

reg query "%PARAMS%" >nul 2>&1
if errorlevel 1 (
    echo install.cmd: the DHCP Server service is not installed on this machine ^(no %PARAMS%^).
    exit /b 1
)
rem Installed already: the values are changed in place.
call :read "%SAVED%" InstalledDll
set "OLDDLL="
if defined TYPE set "OLDDLL=%DATA%"

rem The server loads the first library that starts and hands it the rest to
rem load; macgate loads none. Listed after another library it would run only
rem if that one loads it, and listed first it stops the others.
call :read "%PARAMS%" CalloutDlls
call :split
if not defined BEFORE goto others_done
if defined FIRST goto others_done
echo install.cmd: other callout libraries are registered with the DHCP server:
set "PRINT=%BEFORE%"
call :print
echo The server loads only the first library of CalloutDlls that starts and leaves
echo the others to it, and macgate loads no other library: added after these, macgate
echo would run only if they load it. Run install.cmd /first to put macgate first;
echo the server then loads macgate and no longer loads them.
call :read "%PARAMS%" CalloutEnabled
if /i "%DATA%"=="0x0" echo CalloutEnabled is 0 now, so none of them runs; the same holds once it is 1.
exit /b 1
:others_done

rem The DHCP server is a process of the machine's own processor: on x64
rem Windows a 64-bit one, even when this script runs in a 32-bit cmd.
set "MACHINE=%PROCESSOR_ARCHITECTURE%"
if defined PROCESSOR_ARCHITEW6432 set "MACHINE=%PROCESSOR_ARCHITEW6432%"
if /i "%MACHINE%"=="AMD64" (set "MACHINE=x64") else if /i "%MACHINE%"=="x86" (set "MACHINE=x86") else (
    echo install.cmd: macgate is built for x86 and x64 Windows, not for %MACHINE% Windows.
    exit /b 1
)
"%TOOL%" inspect --machine %MACHINE% "%DLL%" >"%CHECKOUT%" 2>&1
set "CHECKED=%ERRORLEVEL%"
echo macgate.exe inspect:
for /f "usebackq delims=" %%l in ("%CHECKOUT%") do echo     %%l
set "FOUND="
find " is macgate " <"%CHECKOUT%" >nul 2>&1
if not errorlevel 1 set "FOUND=1"
del /f /q "%CHECKOUT%" >nul 2>&1
if "%CHECKED%"=="0" if defined FOUND goto inspected
if "%CHECKED%"=="1" (
    echo install.cmd: the DHCP server could not run "%DLL%" as macgate; nothing was changed.
) else (
    echo install.cmd: "%TOOL%" could not look at "%DLL%" ^(exit status %CHECKED%^); nothing was changed.
)
exit /b 1
:inspected

rem An empty or unreadable list lets every client through.
"%TOOL%" check "%LIST%" >"%CHECKOUT%" 2>&1
set "CHECKED=%ERRORLEVEL%"
echo macgate.exe check:
set "SUMMARY="
set "EMPTY="
find ": action " <"%CHECKOUT%" >nul 2>&1
if not errorlevel 1 set "SUMMARY=1"
find ": no address loaded" <"%CHECKOUT%" >nul 2>&1
if not errorlevel 1 (
    set "SUMMARY=1"
    set "EMPTY=1"
)
set "SECTIONS="
find " in error: the list does not decide as written" <"%CHECKOUT%" >nul 2>&1
if not errorlevel 1 set "SECTIONS=1"
set "REASON="
if "%CHECKED%"=="2" set "REASON=cannot be read"
if not defined REASON if not "%CHECKED%"=="0" if not "%CHECKED%"=="1" set "REASON=could not be checked"
if not defined REASON if not defined SUMMARY set "REASON=could not be checked"
if defined REASON goto check_all
call :findings
goto check_shown
:check_all
rem All it printed when it did not get to its summary.
for /f "usebackq delims=" %%l in ("%CHECKOUT%") do echo     %%l
if "%REASON%"=="could not be checked" echo     ^(macgate.exe check exited %CHECKED% without its summary line^)
:check_shown
set "REFUSED=so every client would be served"
set "FORCED=so every client may be served"
if not defined REASON if defined EMPTY set "REASON=loads no address"
rem A section line in error closes its network, one whose network cannot be
rem read drops every client, and an ALLOW section that loads nothing allows
rem no one: the list does not filter as its administrator wrote it.
if not defined REASON if defined SECTIONS (
    set "REASON=has sections in error"
    set "REFUSED=so the server would not filter as it is written"
    set "FORCED=so the server may not filter as it is written"
)
if not defined REASON goto checked
if defined FORCE (
    del /f /q "%CHECKOUT%" >nul 2>&1
    echo install.cmd: warning: the list %REASON%, %FORCED%; installing all the same.
    goto checked
)
del /f /q "%CHECKOUT%" >nul 2>&1
echo install.cmd: the list %REASON%, %REFUSED%. See what is wrong with
echo     macgate.exe check "%LIST%"
echo mend the list, or run install.cmd /force to install all the same.
exit /b 1
:checked

rem ---- Changes start here; :undo puts back everything below.
set "UNDO=%TEMP%\macgate-undo-%RANDOM%%RANDOM%"
mkdir "%UNDO%" >nul 2>&1
reg export "%PARAMS%" "%UNDO%\params.reg" /y >nul 2>&1
if errorlevel 1 (
    echo install.cmd: cannot save the server's registry key to "%UNDO%"; nothing was changed.
    rd /s /q "%UNDO%" >nul 2>&1
    exit /b 1
)
set "HADSAVED="
reg query "%SAVED%" >nul 2>&1
if errorlevel 1 goto saved_exported
set "HADSAVED=1"
reg export "%SAVED%" "%UNDO%\saved.reg" /y >nul 2>&1
if errorlevel 1 goto failed
:saved_exported
set "HAD="
for %%v in (CalloutDlls CalloutEnabled CalloutErrorLogFile CalloutMacAddressListFile CalloutInfoLogFile) do (
    reg query "%PARAMS%" /v %%v >nul 2>&1
    if not errorlevel 1 call set "HAD=%%HAD%% %%v"
)
set "MADE="
set "LASTMADE="
set "GRANTS="

rem The first write doubles as the check for administrator rights.
reg add "%SAVED%" /v InstalledDll /t REG_SZ /d "%DLL%" /f >nul 2>&1
if errorlevel 1 (
    echo install.cmd: cannot write to the registry; run this as an administrator.
    goto failed
)
if defined OLDDLL goto values_saved
for %%v in (CalloutDlls CalloutEnabled CalloutErrorLogFile CalloutMacAddressListFile CalloutInfoLogFile) do (
    call :save %%v
    if errorlevel 1 goto failed
)
:values_saved

rem Ours where it was, else first; the others keep their order.
set "OLDVALUES="
call :old_values
if defined REST (set "NEWDLLS=%REST:|=\0%") else (set "NEWDLLS=%DLL%")
set "VALUE=%NEWDLLS%"
call :put CalloutDlls REG_MULTI_SZ
if errorlevel 1 goto failed
call :copy CalloutDlls WrittenCalloutDlls
if errorlevel 1 goto failed
set "VALUE=1"
call :put CalloutEnabled REG_DWORD 0x1
if errorlevel 1 goto failed
set "VALUE=%ERRORLOG%"
call :put CalloutErrorLogFile REG_SZ
if errorlevel 1 goto failed
set "VALUE=%LIST%"
call :put CalloutMacAddressListFile REG_SZ
if errorlevel 1 goto failed
set "VALUE=%INFOLOG%"
if defined INFOLOG (
    call :put CalloutInfoLogFile REG_SZ
) else (
    reg delete "%PARAMS%" /v CalloutInfoLogFile /f >nul 2>&1
    call :gone CalloutInfoLogFile
)
if errorlevel 1 goto failed

rem Start-up runs as NETWORK SERVICE: without these rights it ends quietly
rem and every client is served. Access lists are saved beside the DLL.
for %%d in ("%DLL%") do set "ACLDIR=%%~dpd"
call :old_grants
set "TARGET=%ERRORLOG%"
call :log_rights
if errorlevel 1 goto failed
if not defined INFOLOG goto logs_ready
set "TARGET=%INFOLOG%"
call :log_rights
if errorlevel 1 goto failed
:logs_ready
call :list_rights
if errorlevel 1 goto failed

call :record_grants
if errorlevel 1 goto failed
rd /s /q "%UNDO%" >nul 2>&1
call :unused_grants

if defined OLDDLL goto report_update
echo macgate is registered with the DHCP server:
echo     callout library  "%DLL%"
echo     list file        "%LIST%"
echo     error log        "%ERRORLOG%"
if defined INFOLOG (echo     info log         "%INFOLOG%") else (echo     info log         off)
goto reported
:report_update
echo macgate was registered with the DHCP server already; its values now read:
set "SHOWN_OLD=%OLD_DLL%" & set "SHOWN_NEW=%DLL%"
call :changed "callout library "
set "SHOWN_OLD=%OLD_LIST%" & set "SHOWN_NEW=%LIST%"
call :changed "list file       "
set "SHOWN_OLD=%OLD_ERRORLOG%" & set "SHOWN_NEW=%ERRORLOG%"
call :changed "error log       "
set "SHOWN_OLD=%OLD_INFOLOG%" & set "SHOWN_NEW=%INFOLOG%"
call :changed "info log        "
:reported
if defined BEFORE (
    echo macgate comes first; the DHCP server will no longer load:
    set "PRINT=%BEFORE%"
    call :print
)

set "PROBLEM="
if defined RESTART goto restart
echo The DHCP server loads it when it starts. Restart the service now with:
echo     net stop dhcpserver ^& net start dhcpserver
echo or, in PowerShell:
echo     Restart-Service DHCPServer
goto done

:restart
echo Restarting the DHCP Server service:
net stop dhcpserver
set "STATUS=%ERRORLEVEL%"
if not "%STATUS%"=="0" echo install.cmd: net stop dhcpserver exited %STATUS%; the service may not have been running.
rem A line that start-up's truncation removes: an error log left from before
rem must not pass for this start's. The file stays, with its rights.
echo install.cmd: the DHCP server has not started macgate since this line was written.>"%ERRORLOG%"
net start dhcpserver
set "STATUS=%ERRORLEVEL%"
if not "%STATUS%"=="0" (
    echo install.cmd: net start dhcpserver failed with exit status %STATUS%: the DHCP server is not running
    echo and serves no client. macgate stays registered with the values above. Start the service
    echo with net start dhcpserver once its cause is mended, or run uninstall.cmd first to take
    echo macgate out again.
    del /f /q "%CHECKOUT%" >nul 2>&1
    exit /b 1
)
set "WAITING="
if exist "%ERRORLOG%" find "install.cmd: the DHCP server has not started macgate" <"%ERRORLOG%" >nul 2>&1
if exist "%ERRORLOG%" if not errorlevel 1 set "WAITING=1"
if not exist "%ERRORLOG%" set "WAITING=1"
if defined WAITING (
    echo install.cmd: the DHCP server started, but no error log was written: the server did not
    echo load macgate, or start-up could not write "%ERRORLOG%" and loaded nothing,
    echo so every client is served.
    del /f /q "%CHECKOUT%" >nul 2>&1
    exit /b 1
)
for %%f in ("%ERRORLOG%") do set "SIZE=%%~zf"
if "%SIZE%"=="0" (
    echo The filter started cleanly: its error log is empty.
    call :loaded
    goto done
)
echo The filter's start-up wrote to its error log:
for /f "usebackq delims=" %%l in ("%ERRORLOG%") do echo     %%l
rem These messages mean that nothing was loaded. Their case is fixed, and
rem Wine's find fails with /i.
find "Could not " <"%ERRORLOG%" >nul 2>&1
if not errorlevel 1 set "PROBLEM=1"
find "Could Not Read Mac File From Registry" <"%ERRORLOG%" >nul 2>&1
if not errorlevel 1 set "PROBLEM=1"
find "File format not proper" <"%ERRORLOG%" >nul 2>&1
if not errorlevel 1 set "PROBLEM=1"
if defined PROBLEM (echo install.cmd: the filter loaded no address, so every client is served.) else (call :loaded)

:done
del /f /q "%CHECKOUT%" >nul 2>&1
echo "%TOOL%" status shows what the server will do at its next start.
if defined PROBLEM exit /b 1
exit /b 0

:failed
call :undo
del /f /q "%CHECKOUT%" >nul 2>&1
echo install.cmd: everything it changed is put back as it was.
exit /b 1

:usage
echo usage: install.cmd [/first] [/force] [/restart] DLL LIST ERRORLOG [INFOLOG]
exit /b 2

rem Refuses ARG, the raw argument for %1, when it is a device path, holds a
rem character that no file name holds, or ends in a backslash. A wildcard
rem would make cmd's for take other files' names, and < > | are cmd's own:
rem none goes further than here. "|" then stands for each quote.
:shape
set "MARK=%ARG:"=%"
if "%MARK:~0,4%"=="\\?\" goto shape_device
if "%MARK:~0,4%"=="\\.\" goto shape_device
set "CUT="
for /f "delims=*?<>|" %%a in ("[%MARK%]") do set "CUT=%%a"
if not "%CUT%"=="[%MARK%]" (
    echo install.cmd: the %~1 path "%MARK%" holds one of * ? ^< ^> ^|, which no file name can hold.
    exit /b 1
)
set "MARK=%ARG:"=|%"
if "%MARK:~0,1%"=="|" set "MARK=%MARK:~1%"
if "%MARK:~-1%"=="|" set "MARK=%MARK:~0,-1%"
if not "%MARK:|=%"=="%MARK%" (
    echo install.cmd: the %~1 path holds a quote; no file name can.
    exit /b 1
)
if "%MARK:~-1%"=="\" (
    echo install.cmd: the %~1 path "%MARK%" ends in a backslash: name a file, not a folder.
    exit /b 1
)
exit /b 0
:shape_device
echo install.cmd: the %~1 path "%MARK%" is a device path (%MARK:~0,4%): give the file as
echo C:\folder\file or \\server\share\file.
exit /b 1

rem Whether %1 is a folder that exists (Wine's "if exist" takes any file
rem with a trailing backslash for one).
:is_folder
set "ATTRIBUTES="
for %%f in ("%~1") do set "ATTRIBUTES=%%~af"
if /i "%ATTRIBUTES:~0,1%"=="d" exit /b 0
exit /b 1

rem Refuses a log TARGET whose folder is a system folder: the service's
rem account would be let modify it.
:log_place
for %%f in ("%TARGET%") do set "FOLDER=%%~dpf"
set "SYSTEM="
for %%f in ("%TARGET%") do if "%%~pf"=="\" set "SYSTEM=a drive's root folder"
if defined SystemRoot call set "REST=%%FOLDER:%SystemRoot%\=%%"
if defined SystemRoot if not "%REST%"=="%FOLDER%" set "SYSTEM=Windows' own folder"
if defined ProgramData if /i "%FOLDER%"=="%ProgramData%\" set "SYSTEM=the ProgramData folder"
if defined ProgramFiles if /i "%FOLDER%"=="%ProgramFiles%\" set "SYSTEM=the Program Files folder"
if defined ProgramW6432 if /i "%FOLDER%"=="%ProgramW6432%\" set "SYSTEM=the Program Files folder"
if defined ProgramFiles(x86) if /i "%FOLDER%"=="%ProgramFiles(x86)%\" set "SYSTEM=the Program Files folder"
if defined SYSTEM (
    echo install.cmd: the %ROLE% "%TARGET%" is in %SYSTEM%, where NETWORK SERVICE must not
    echo be let write. Put the logs in a folder of their own, for example
    echo     C:\ProgramData\macgate\logs\
    exit /b 1
)
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

rem Writes value %1 of type %2 with data VALUE and reads it back: what reg
rem query shows must be VALUE (or %3). A difference is a failure. The data
rem is no argument of call, which would expand %...% in it once more.
:put
reg add "%PARAMS%" /v %1 /t %2 /d "%VALUE%" /f >nul
if errorlevel 1 exit /b 1
call :read "%PARAMS%" %1
set "MEANT=%VALUE%"
if not "%~3"=="" set "MEANT=%~3"
if "%TYPE%"=="%2" if "%DATA%"=="%MEANT%" exit /b 0
echo install.cmd: %1 reads back as %TYPE% "%DATA%", not as the %2 "%MEANT%" written.
exit /b 1

rem Fails when value %1 is still there.
:gone
reg query "%PARAMS%" /v %1 >nul 2>&1
if errorlevel 1 exit /b 0
echo install.cmd: %1 is still there after it was deleted.
exit /b 1

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

rem The values as they are before this run, for the report of an update.
:old_values
set "OLD_DLL=%OLDDLL%"
call :read "%PARAMS%" CalloutMacAddressListFile
set "OLD_LIST=%DATA%"
call :read "%PARAMS%" CalloutErrorLogFile
set "OLD_ERRORLOG=%DATA%"
call :read "%PARAMS%" CalloutInfoLogFile
set "OLD_INFOLOG=%DATA%"
exit /b 0

rem Prints value %1 of an update, SHOWN_OLD and SHOWN_NEW: the same, or
rem old -> new.
:changed
if not defined SHOWN_OLD set "SHOWN_OLD=off"
if not defined SHOWN_NEW set "SHOWN_NEW=off"
if /i "%SHOWN_OLD%"=="%SHOWN_NEW%" (
    echo     %~1 "%SHOWN_NEW%", as before
) else (
    echo     %~1 "%SHOWN_OLD%" -^> "%SHOWN_NEW%"
)
exit /b 0

rem Splits DATA, a list as reg query prints it. REST gets the new list,
rem "|"-separated (no file name holds one): ours, the DLL of an earlier
rem install (OLDDLL) or DLL, replaced by DLL where it stands, else DLL first.
rem BEFORE gets the libraries listed before ours, or all of them when ours is
rem not listed; OTHERS all libraries but ours.
:split
set "OTHERS="
set "BEFORE="
set "OURS="
set "NEWLIST="
if not defined DATA goto split_done
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
set "MINE="
if /i "%ITEM%"=="%DLL%" set "MINE=1"
if defined OLDDLL if /i "%ITEM%"=="%OLDDLL%" set "MINE=1"
if defined MINE if not defined OURS (
    set "OURS=1"
    if defined NEWLIST (set "NEWLIST=%NEWLIST%|%DLL%") else (set "NEWLIST=%DLL%")
    goto split_item_done
)
if defined MINE goto split_item_done
if defined OTHERS (set "OTHERS=%OTHERS%|%ITEM%") else (set "OTHERS=%ITEM%")
if defined NEWLIST (set "NEWLIST=%NEWLIST%|%ITEM%") else (set "NEWLIST=%ITEM%")
if not defined OURS if defined BEFORE (set "BEFORE=%BEFORE%|%ITEM%") else if not defined OURS (set "BEFORE=%ITEM%")
:split_item_done
if defined REST goto split_next
:split_done
rem With /first, or with nothing before it, ours goes first.
if not defined BEFORE goto split_list
if defined OTHERS (set "NEWLIST=%DLL%|%OTHERS%") else (set "NEWLIST=%DLL%")
:split_list
if not defined NEWLIST set "NEWLIST=%DLL%"
set "REST=%NEWLIST%"
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

rem check's findings, as it printed them, at most 20, then how many more.
rem Its summary is the last line, or the last two when nothing loads.
:findings
set /a LINES=0
for /f "usebackq delims=" %%l in ("%CHECKOUT%") do set /a LINES+=1
set /a FINDINGS=LINES-1
if defined EMPTY set /a FINDINGS=LINES-2
set /a SHOWN=FINDINGS
if %SHOWN% gtr 20 set /a SHOWN=20
set /a SEEN=0
for /f "usebackq delims=" %%l in ("%CHECKOUT%") do (
    call :next_finding
    if not errorlevel 1 echo     %%l
)
set /a MORE=FINDINGS-SHOWN
if %MORE% gtr 0 echo     ... and %MORE% more lines; macgate.exe check "%LIST%" shows them all.
rem Then the summary.
set /a SEEN=0
for /f "usebackq delims=" %%l in ("%CHECKOUT%") do (
    call :summary_line
    if not errorlevel 1 echo     %%l
)
exit /b 0
:next_finding
set /a SEEN+=1
if %SEEN% gtr %SHOWN% exit /b 1
exit /b 0
:summary_line
set /a SEEN+=1
if %SEEN% gtr %FINDINGS% exit /b 0
exit /b 1

rem Says how many entries the list gave the server: check's count, which
rem the server's loader reaches when its error log is empty or only reports.
:loaded
set "COUNT="
set /a SEEN=0
for /f "usebackq delims=" %%l in ("%CHECKOUT%") do (
    call :summary_line
    if not errorlevel 1 (
        set "LINE=%%l"
        call :count_of
    )
)
if defined COUNT echo The DHCP server loaded %COUNT% from the list.
exit /b 0
:count_of
set "AFTER=%LINE:*: action =%"
if "%AFTER%"=="%LINE%" exit /b 0
for /f "tokens=2 delims=," %%a in ("%AFTER%") do set "COUNT=%%a"
if not defined COUNT exit /b 0
set "COUNT=%COUNT:~1%"
set "COUNT=%COUNT: loaded=%"
exit /b 0

rem Lets the service's account write the log TARGET: a folder that this run
rem makes, or that an earlier install made, is the service's own, so it gets
rem the folder; in a folder that exists, it gets the file alone, which is
rem made empty when missing. macgate.exe paths made sure that only the log's
rem own folder can be missing.
:log_rights
for %%f in ("%TARGET%") do set "FOLDER=%%~dpf"
set "FOLDER=%FOLDER:~0,-1%"
rem Both logs in the folder made for the first.
if defined LASTMADE if /i "%FOLDER%"=="%LASTMADE%" exit /b 0
set "GRANTED=%FOLDER%"
call :recorded
if defined RECORDED (
    call :grant "(OI)(CI)M" modify
    exit /b 0
)
call :is_folder "%FOLDER%"
if not errorlevel 1 goto log_file
mkdir "%FOLDER%" >nul 2>&1
call :is_folder "%FOLDER%"
if errorlevel 1 (
    echo install.cmd: cannot create the folder "%FOLDER%".
    exit /b 1
)
set "MADE=%FOLDER%|%MADE%"
set "LASTMADE=%FOLDER%"
echo created the folder "%FOLDER%"
call :grant "(OI)(CI)M" modify
exit /b %ERRORLEVEL%
:log_file
if exist "%TARGET%" goto log_file_grant
type nul >"%TARGET%" 2>nul
if not exist "%TARGET%" (
    echo install.cmd: cannot create "%TARGET%".
    exit /b 1
)
set "MADE=%MADE%|%TARGET%"
echo created the empty log "%TARGET%"
:log_file_grant
set "GRANTED=%TARGET%"
call :grant M modify
exit /b %ERRORLEVEL%

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
set "GRANTED=%LIST%"
call :grant R read
exit /b %ERRORLEVEL%

rem Grants the service's account rights %1 (said as %2) on GRANTED once:
rem an item that an earlier install granted keeps that grant. Otherwise its
rem access list is saved first to a free macgate-acl-N.txt in ACLDIR, and
rem "ITEM*FILE" added to GRANTS ("*" and "|" are in no path). USED gets
rem the item either way.
:grant
set "USED=%USED%|%GRANTED%"
call :recorded
if defined RECORDED (
    echo NETWORK SERVICE keeps the %2 rights on "%GRANTED%" that an earlier install granted
    exit /b 0
)
set /a NUMBER=1
:grant_free
set "ACLFILE=%ACLDIR%macgate-acl-%NUMBER%.txt"
if exist "%ACLFILE%" (set /a NUMBER+=1 & goto grant_free)
icacls "%GRANTED%" /save "%ACLFILE%" >nul
set "STATUS=%ERRORLEVEL%"
if not exist "%ACLFILE%" if "%STATUS%"=="0" set "STATUS=no file"
if not "%STATUS%"=="0" (
    echo install.cmd: icacls could not save the access list of "%GRANTED%" to "%ACLFILE%" ^(exit status %STATUS%^).
    del /f /q "%ACLFILE%" >nul 2>&1
    exit /b 1
)
icacls "%GRANTED%" /grant "%ACCOUNT%:%~1" >nul
set "STATUS=%ERRORLEVEL%"
if not "%STATUS%"=="0" (
    echo install.cmd: icacls could not let NETWORK SERVICE %2 "%GRANTED%" ^(exit status %STATUS%^).
    set "ITEM=%GRANTED%"
    call :put_back
    exit /b 1
)
echo granted NETWORK SERVICE %2 rights on "%GRANTED%"
set "GRANTS=%GRANTS%|%GRANTED%*%ACLFILE%"
exit /b 0

rem Reads the grants an earlier install recorded into OLDGRANTS, "ITEM*FILE"
rem each (FILE empty for a record without a saved access list), and their
rem number into OLDCOUNT.
:old_grants
set "OLDGRANTS="
set "USED="
set /a OLDCOUNT=0
:old_grants_next
set /a NUMBER=OLDCOUNT+1
call :read "%SAVED%" Grant%NUMBER%
if not defined TYPE exit /b 0
set "ITEM=%DATA%"
call :read "%SAVED%" GrantSaved%NUMBER%
set "OLDGRANTS=%OLDGRANTS%|%ITEM%*%DATA%"
set /a OLDCOUNT=NUMBER
goto old_grants_next

rem Whether GRANTED is among OLDGRANTS: RECORDED is then 1.
:recorded
set "RECORDED="
set "LEFT=%OLDGRANTS%"
:recorded_next
set "ONE="
set "AFTER="
for /f "tokens=1* delims=|" %%a in ("%LEFT%") do (
    set "ONE=%%a"
    set "AFTER=%%b"
)
if not defined ONE exit /b 0
for /f "delims=*" %%a in ("%ONE%") do set "ONE=%%a"
if /i "%ONE%"=="%GRANTED%" (
    set "RECORDED=1"
    exit /b 0
)
set "LEFT=%AFTER%"
if defined LEFT goto recorded_next
exit /b 0

rem Splits the first "ITEM*FILE" off the "|"-list CURRENT: ITEM, ACLFILE,
rem and the rest in REST.
:split_pair
set "PAIR="
set "REST="
for /f "tokens=1* delims=|" %%a in ("%CURRENT%") do (
    set "PAIR=%%a"
    set "REST=%%b"
)
set "ITEM="
set "ACLFILE="
if not defined PAIR exit /b 0
for /f "tokens=1,2 delims=*" %%a in ("%PAIR%") do (
    set "ITEM=%%a"
    set "ACLFILE=%%b"
)
exit /b 0

rem Records in our key, as Grant1, Grant2, ... with GrantSaved1, ..., the
rem earlier grants still used and this run's, for uninstall.cmd; the others
rem go to UNUSED.
:record_grants
set /a NUMBER=1
:record_grants_clear
if %NUMBER% gtr %OLDCOUNT% goto record_grants_cleared
reg delete "%SAVED%" /v Grant%NUMBER% /f >nul 2>&1
reg delete "%SAVED%" /v GrantSaved%NUMBER% /f >nul 2>&1
set /a NUMBER+=1
goto record_grants_clear
:record_grants_cleared
set /a NUMBER=0
set "UNUSED="
set "CURRENT=%OLDGRANTS%"
:record_grants_old
call :split_pair
if not defined ITEM goto record_grants_new
call :is_used
if defined WANTED (call :record_one) else (set "UNUSED=%UNUSED%|%ITEM%*%ACLFILE%")
if errorlevel 1 exit /b 1
set "CURRENT=%REST%"
if defined CURRENT goto record_grants_old
:record_grants_new
set "CURRENT=%GRANTS%"
:record_grants_item
call :split_pair
if not defined ITEM exit /b 0
call :record_one
if errorlevel 1 exit /b 1
set "CURRENT=%REST%"
if defined CURRENT goto record_grants_item
exit /b 0
:record_one
set /a NUMBER+=1
reg add "%SAVED%" /v Grant%NUMBER% /t REG_SZ /d "%ITEM%" /f >nul
if errorlevel 1 exit /b 1
if not defined ACLFILE exit /b 0
reg add "%SAVED%" /v GrantSaved%NUMBER% /t REG_SZ /d "%ACLFILE%" /f >nul
exit /b %ERRORLEVEL%

rem Whether ITEM is among USED: WANTED is then 1.
:is_used
set "WANTED="
set "LEFT=%USED%"
:is_used_next
set "ONE="
set "AFTER="
for /f "tokens=1* delims=|" %%a in ("%LEFT%") do (
    set "ONE=%%a"
    set "AFTER=%%b"
)
if not defined ONE exit /b 0
if /i "%ONE%"=="%ITEM%" (
    set "WANTED=1"
    exit /b 0
)
set "LEFT=%AFTER%"
if defined LEFT goto is_used_next
exit /b 0

rem Puts back the access lists of the earlier grants that this install no
rem longer uses. One that cannot be put back stays recorded.
:unused_grants
set "CURRENT=%UNUSED%"
:unused_grants_next
call :split_pair
if not defined ITEM exit /b 0
call :put_back
if errorlevel 1 call :record_one
set "CURRENT=%REST%"
if defined CURRENT goto unused_grants_next
exit /b 0

rem Puts back ITEM's access list from ACLFILE and deletes the file; without
rem a saved list, takes back NETWORK SERVICE's grants on it.
:put_back
if not defined ACLFILE goto put_back_remove
for %%f in ("%ITEM%") do set "PARENT=%%~dpf"
rem icacls would read the backslash before a closing quote as a quote.
if "%PARENT:~-2%"==":\" (set "PARENT=%PARENT%.") else (set "PARENT=%PARENT:~0,-1%")
icacls "%PARENT%" /restore "%ACLFILE%" >nul
if errorlevel 1 (
    echo install.cmd: icacls could not put back the access list of "%ITEM%" from "%ACLFILE%".
    exit /b 1
)
del /f /q "%ACLFILE%" >nul 2>&1
echo put back the access list of "%ITEM%" as it was before its grant
exit /b 0
:put_back_remove
icacls "%ITEM%" /remove:g "%ACCOUNT%" >nul
if errorlevel 1 (
    echo install.cmd: icacls could not take back NETWORK SERVICE's rights on "%ITEM%".
    exit /b 1
)
echo took back NETWORK SERVICE's rights on "%ITEM%"
exit /b 0

rem Puts back everything this run changed: the server's values and our key
rem as exported before the first change, the rights granted, the files and
rem folders made.
:undo
if not exist "%UNDO%\params.reg" goto undo_rights
for %%v in (CalloutDlls CalloutEnabled CalloutErrorLogFile CalloutMacAddressListFile CalloutInfoLogFile) do (
    call :undo_value %%v
)
reg import "%UNDO%\params.reg" >nul 2>&1
if errorlevel 1 echo install.cmd: reg import "%UNDO%\params.reg" failed: put the server's key back by hand from it.
reg delete "%SAVED%" /f >nul 2>&1
if defined HADSAVED reg import "%UNDO%\saved.reg" >nul 2>&1
:undo_rights
set "CURRENT=%GRANTS%"
:undo_rights_item
call :split_pair
if not defined ITEM goto undo_made
call :put_back
set "CURRENT=%REST%"
if defined CURRENT goto undo_rights_item
:undo_made
set "CURRENT=%MADE%"
:undo_made_item
set "ITEM="
set "REST="
for /f "tokens=1* delims=|" %%a in ("%CURRENT%") do (
    set "ITEM=%%a"
    set "REST=%%b"
)
if not defined ITEM goto undo_done
call :is_folder "%ITEM%"
if errorlevel 1 (del /f /q "%ITEM%" >nul 2>&1) else (rd "%ITEM%" >nul 2>&1)
set "CURRENT=%REST%"
if defined CURRENT goto undo_made_item
:undo_done
if defined UNDO rd /s /q "%UNDO%" >nul 2>&1
exit /b 0

rem Deletes value %1 when it was not there before this run.
:undo_value
for %%h in (%HAD%) do if /i "%%h"=="%1" exit /b 0
reg delete "%PARAMS%" /v %1 /f >nul 2>&1
exit /b 0
