@echo off
rem Installs the VORN bundle: copies its programs from this folder to
rem "%ProgramFiles%\VORN", registers the DLLs that register themselves and
rem starts Kestrelink at every user's logon.
rem Run it from an administrator prompt. Exits with 1 on any failure.
setlocal EnableExtensions
set "VORN_SRC=%~dp0"
set "VORN_DEST=%ProgramFiles%\VORN"
rem Every program of the bundle.
set "VORN_DLLS=CSP_VORN.dll Kestrelink.exe PKCS11_VORN.dll"
rem The DLLs registered with regsvr32 (DllRegisterServer): the CryptoAPI
rem provider. PKCS11_VORN.dll is not one of them: a PKCS#11 module registers
rem nothing, applications load it by its path.
set "VORN_REGISTER=CSP_VORN.dll"

for %%F in (%VORN_DLLS%) do (
  if not exist "%VORN_SRC%%%F" (
    echo register: %%F is missing from "%VORN_SRC%" 1>&2
    exit /b 1
  )
)
if not exist "%VORN_DEST%\" mkdir "%VORN_DEST%"
if not exist "%VORN_DEST%\" (
  echo register: cannot create "%VORN_DEST%" 1>&2
  exit /b 1
)
for %%F in (%VORN_DLLS%) do (
  copy /y "%VORN_SRC%%%F" "%VORN_DEST%\%%F" >nul
  if errorlevel 1 (
    echo register: cannot copy %%F to "%VORN_DEST%" 1>&2
    exit /b 1
  )
)
for %%F in (%VORN_REGISTER%) do (
  regsvr32 /s "%VORN_DEST%\%%F"
  if errorlevel 1 (
    echo register: regsvr32 failed for %%F 1>&2
    exit /b 1
  )
)
rem Kestrelink keeps the user's certificate stores in step with the card:
rem one copy per logon, started by the system's Run key.
reg add "HKLM\Software\Microsoft\Windows\CurrentVersion\Run" /v Kestrelink /t REG_SZ /d "\"%VORN_DEST%\Kestrelink.exe\"" /f >nul
if errorlevel 1 (
  echo register: cannot add Kestrelink to the logon programs 1>&2
  exit /b 1
)
echo VORN installed in "%VORN_DEST%".
exit /b 0
