@echo off
rem Removes what register.cmd installed: takes Kestrelink out of the logon
rem programs, unregisters the DLLs that registered themselves, then deletes
rem "%ProgramFiles%\VORN" (a running Kestrelink must be ended first). Succeeds when nothing is
rem installed. Exits with 1 on any failure.
setlocal EnableExtensions
set "VORN_DEST=%ProgramFiles%\VORN"
rem The same list as in register.cmd.
set "VORN_REGISTER=CSP_VORN.dll"

reg query "HKLM\Software\Microsoft\Windows\CurrentVersion\Run" /v Kestrelink >nul 2>&1
if not errorlevel 1 (
  reg delete "HKLM\Software\Microsoft\Windows\CurrentVersion\Run" /v Kestrelink /f >nul
  if errorlevel 1 (
    echo unregister: cannot remove Kestrelink from the logon programs 1>&2
    exit /b 1
  )
)
if not exist "%VORN_DEST%\" (
  echo VORN is not installed in "%VORN_DEST%".
  exit /b 0
)
for %%F in (%VORN_REGISTER%) do (
  if exist "%VORN_DEST%\%%F" (
    regsvr32 /u /s "%VORN_DEST%\%%F"
    if errorlevel 1 (
      echo unregister: regsvr32 /u failed for %%F 1>&2
      exit /b 1
    )
  )
)
rmdir /s /q "%VORN_DEST%"
if exist "%VORN_DEST%\" (
  echo unregister: cannot remove "%VORN_DEST%" 1>&2
  exit /b 1
)
echo VORN removed from "%VORN_DEST%".
exit /b 0
