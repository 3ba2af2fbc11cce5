# What the Windows job's steps share (.github/workflows/windows.yml): diskpart
# with a time limit, the virtual disk found by the number Windows gave the
# attached file and checked by its size, its volume made and its letter found
# again, the program's own disk, the holder of a file on the volume, the
# watcher of the volume list, the disk taken offline and the driver's
# outcome. Each step dot-sources it:
#   . .\dist\runner.ps1
# Everything goes to the step's log and to logs\, which the job keeps.
$ErrorActionPreference = 'Stop'
New-Item -ItemType Directory -Force logs | Out-Null

function Get-Stamp { (Get-Date).ToUniversalTime().ToString('HH:mm:ss.fff') + ' UTC' }

# One line into the job's summary page (and the step's log).
function Add-Summary([string[]]$Lines) {
  $Lines | Out-Host
  $Lines | Out-File -Append -Encoding utf8 $env:GITHUB_STEP_SUMMARY
}

# Runs diskpart on $Lines, its output in logs\diskpart-$Name.txt and the log;
# returns its exit code. A diskpart that hangs is ended after $Seconds.
function Invoke-Diskpart([string]$Name, [string[]]$Lines, [int]$Seconds = 180) {
  $script = Join-Path $env:RUNNER_TEMP "diskpart-$Name.txt"
  $Lines | Set-Content -Encoding ascii $script
  $log = Join-Path (Get-Location) "logs\diskpart-$Name.txt"
  "$(Get-Stamp) diskpart ($Name): $($Lines -join ' / ')" | Out-Host
  $p = Start-Process diskpart -ArgumentList '/s', "`"$script`"" -NoNewWindow -PassThru `
    -RedirectStandardOutput $log
  $null = $p.Handle  # keeps the exit code readable after the wait
  if (-not $p.WaitForExit($Seconds * 1000)) {
    Stop-Process -Id $p.Id -Force
    Get-Content $log | Out-Host
    throw "diskpart ($Name) did not end within $Seconds s"
  }
  Get-Content $log | Out-Host
  "$(Get-Stamp) diskpart ($Name) ended with $($p.ExitCode)" | Out-Host
  return $p.ExitCode
}

# The number of the disk Windows made of the attached file. Only that number
# is taken, and only when the disk is 256 MiB and neither the boot nor the
# system disk: the name "Msft Virtual Disk" is the runner's own disks' too.
# Once the job has noted the number ($env:DISK), it must not have changed.
function Get-TheDisk {
  $image = $null
  for ($i = 0; $i -lt 60; $i++) {
    $image = Get-DiskImage -ImagePath $env:VHD
    if ($image.Attached -and $null -ne $image.Number) { break }
    Start-Sleep -Milliseconds 500
  }
  if (-not $image.Attached -or $null -eq $image.Number) {
    throw "the virtual disk $env:VHD is not attached, or Windows gives it no number"
  }
  $number = [int]$image.Number
  $disk = Get-Disk -Number $number
  if ($disk.Size -ne 256MB -or $disk.IsBoot -or $disk.IsSystem) {
    throw "disk $number is '$($disk.FriendlyName)' of $($disk.Size) bytes (boot $($disk.IsBoot), " +
      "system $($disk.IsSystem)): not the 256 MiB virtual disk; nothing is written"
  }
  if ($env:DISK -and [int]$env:DISK -ne $number) {
    throw "the virtual disk is disk $number now, no longer disk $env:DISK"
  }
  return $number
}

# A letter no drive has now, asked of .NET rather than of this session's
# drive list, which was read when the session started.
function Get-FreeLetter {
  $used = [IO.DriveInfo]::GetDrives() | ForEach-Object { $_.Name.Substring(0, 1).ToUpper() }
  $free = 'T', 'U', 'V', 'W', 'Y' | Where-Object { $used -notcontains $_ } | Select-Object -First 1
  if (-not $free) { throw "none of T, U, V, W, Y is free: $($used -join ' ')" }
  return $free
}

# Deletes every partition of disk $Number, addressed by number as the clean
# command is documented. "Cannot zero sectors" (error 5) right after a
# volume was mounted is a known flake: clean is tried once more.
function Clear-TheDisk([int]$Number) {
  $code = Invoke-Diskpart 'clean' @("select disk $Number", 'clean')
  if ($code -ne 0) {
    "::warning::diskpart clean of disk $Number ended with $code; trying once more in 5 s" | Out-Host
    Start-Sleep -Seconds 5
    $code = Invoke-Diskpart 'clean-again' @("select disk $Number", 'clean')
    if ($code -ne 0) { throw "diskpart clean of disk $Number ended with $code twice" }
  }
}

# An MBR with one partition, over the disk or $SizeMiB long, formatted
# $env:FS, letter $Letter, a file on it. Returns the letter as Windows has it
# once the volume is there, which is the one the later steps use.
function New-TheVolume([int]$Number, [string]$Letter, [int]$SizeMiB = 0) {
  $create = 'create partition primary'
  $unit = ''
  if ($SizeMiB -gt 0) {
    $create += " size=$SizeMiB"
    # FAT32 needs 65,527 clusters at least (Microsoft's "Maximum Sizes on
    # FAT32 Volumes"): on a small partition only 512-byte ones give as many.
    if ($env:FS -eq 'fat32') { $unit = ' unit=512' }
  }
  $code = Invoke-Diskpart 'volume' @(
    "select disk $Number"
    'convert mbr'
    $create
    "format fs=$env:FS quick label=TESSAVANE$unit"
    "assign letter=$Letter"
  ) -Seconds 300
  if ($code -ne 0) { throw "diskpart ended with $code" }
  $found = ''
  for ($i = 0; $i -lt 60; $i++) {
    Update-HostStorageCache
    $found = [string](Get-Partition -DiskNumber $Number -PartitionNumber 1 -ErrorAction SilentlyContinue).DriveLetter
    if ($found -match '^[A-Z]$' -and [IO.Directory]::Exists("${found}:\")) { break }
    Start-Sleep -Milliseconds 500
  }
  if (-not ($found -match '^[A-Z]$' -and [IO.Directory]::Exists("${found}:\"))) {
    throw "the volume of disk $Number has no usable letter (Windows shows '$found')"
  }
  if ($found -ne $Letter) {
    "::warning::diskpart was told letter $Letter, Windows shows ${found}:; going on with ${found}:" |
      Out-Host
  }
  [IO.File]::WriteAllText("${found}:\note.txt", "a file on the virtual disk's volume`r`n")
  Get-Volume -DriveLetter $found | Format-List DriveLetter, FileSystem, Size, SizeRemaining |
    Out-String -Width 200 | Out-Host
  return $found
}

# The number of the disk the program runs from (dist\ is on the runner's
# own disk): the one line the program must mark as its PE disk.
function Get-ProgramDisk {
  $drive = (Get-Item dist\tessavane.exe).FullName.Substring(0, 1)
  $number = [int](Get-Partition -DriveLetter $drive).DiskNumber
  "the program runs from ${drive}:, on disk $number" | Out-Host
  return $number
}

# Another process that holds $Path open, reading and writing and sharing
# both, as an Explorer window or a virus scanner would, until
# Stop-TheHolder. Twice a second it reads through its handle, unbuffered, and
# notes in logs\holder.txt each time the answer changes: after the program's
# dismount the handle is worth nothing, and when that happened is the
# evidence that the first lock was refused and the volume taken down anyway.
# Returns once the file is open and shown to be held.
function Start-TheHolder([string]$Path) {
  [IO.File]::WriteAllText($Path, "held open by another process`r`n")
  $ready = Join-Path $env:RUNNER_TEMP 'holder-ready'
  $stop = Join-Path $env:RUNNER_TEMP 'holder-stop'
  $log = Join-Path (Get-Location) 'logs\holder.txt'
  Remove-Item $ready, $stop -ErrorAction SilentlyContinue
  $job = Start-Job -ArgumentList $Path, $ready, $stop, $log -ScriptBlock {
    param($path, $ready, $stop, $log)
    $say = {
      param($line)
      $line = (Get-Date).ToUniversalTime().ToString('HH:mm:ss.fff') + " UTC holder: $line"
      Add-Content -LiteralPath $log -Value $line -Encoding utf8
      $line
    }
    # A buffer of one byte is none: each read goes to the file system.
    $file = New-Object IO.FileStream($path, 'Open', 'ReadWrite', 'ReadWrite', 1)
    & $say "$path is open (process $PID)"
    [IO.File]::WriteAllText($ready, "$PID")
    $bytes = New-Object byte[] 16
    $last = ''
    # Twenty minutes at most, should nothing ever stop it.
    for ($i = 0; $i -lt 2400 -and -not (Test-Path $stop); $i++) {
      try {
        $file.Position = 0
        $read = "ok, $($file.Read($bytes, 0, 16)) bytes"
      } catch {
        $e = $_.Exception
        while ($e.InnerException) { $e = $e.InnerException }
        $read = "$($e.Message.Trim()) (HResult 0x$('{0:X8}' -f $e.HResult))"
      }
      if ($read -ne $last) { & $say "a read through the held handle: $read" }
      $last = $read
      Start-Sleep -Milliseconds 500
    }
    & $say "told to stop; its last read: $last"
    try { $file.Dispose() } catch { & $say "closing the handle: $($_.Exception.Message)" }
  }
  for ($i = 0; $i -lt 120 -and -not (Test-Path $ready); $i++) { Start-Sleep -Milliseconds 250 }
  if (-not (Test-Path $ready)) {
    Receive-Job $job 2>&1 | Out-Host
    Remove-Job $job -Force
    throw "the holder did not open $Path within 30 s"
  }
  Receive-Job $job | Out-Host
  return [pscustomobject]@{ Job = $job; Pid = [int](Get-Content $ready); Path = $Path }
}

# Whether the holder still runs and still holds the file: its process is
# there and an open that shares nothing is refused. One line says which.
function Test-TheHolder($Holder) {
  if (-not (Test-TheHolderAlive $Holder)) {
    "$(Get-Stamp) the holder is gone (job $($Holder.Job.State), process $($Holder.Pid))" | Out-Host
    return $false
  }
  try {
    [IO.File]::Open($Holder.Path, 'Open', 'Read', 'None').Dispose()
    "$(Get-Stamp) $($Holder.Path) opens sharing nothing: the holder runs but does not hold it" |
      Out-Host
    return $false
  } catch {
    "$(Get-Stamp) held: an open of $($Holder.Path) that shares nothing is refused " +
      "($($_.Exception.Message.Trim()))" | Out-Host
    return $true
  }
}

# Whether the holder's process is there now (the file may be gone with the
# volume, so it is not asked).
function Test-TheHolderAlive($Holder) {
  return $Holder.Job.State -eq 'Running' -and
    [bool](Get-Process -Id $Holder.Pid -ErrorAction SilentlyContinue)
}

# Stops the holder; returns its last read (what its log's last such line
# says), its whole log going to the step's log.
function Stop-TheHolder($Holder) {
  New-Item -ItemType File -Force (Join-Path $env:RUNNER_TEMP 'holder-stop') | Out-Null
  Wait-Job $Holder.Job -Timeout 30 | Out-Null
  Receive-Job $Holder.Job 2>&1 | ForEach-Object { "$_" } | Out-Host
  if ($Holder.Job.State -eq 'Running') { "::warning::the holder did not stop within 30 s" | Out-Host }
  Remove-Job $Holder.Job -Force
  $reads = @(Get-Content logs\holder.txt -ErrorAction SilentlyContinue |
    Where-Object { $_ -match 'holder: a read through the held handle: ' })
  if ($reads.Count -eq 0) { return 'none' }
  return ($reads[-1] -replace '^.*holder: a read through the held handle: ', '') +
    " (since $($reads[-1].Substring(0, 16)))"
}

# contract_tests.exe --watch-volumes in the background: a line with the time
# whenever a volume comes or goes, or the mount manager has $Letter name
# another volume or none, opening no volume and no disk meanwhile.
function Start-VolumeWatch([string]$Log, [string]$Letter) {
  $Log = Join-Path (Get-Location) $Log
  $until = Join-Path $env:RUNNER_TEMP 'watch-stop'
  Remove-Item $until -ErrorAction SilentlyContinue
  $p = Start-Process (Resolve-Path .\dist\contract_tests.exe).Path `
    -ArgumentList '--watch-volumes', '--until', "`"$until`"", '--letter', "${Letter}:" `
    -NoNewWindow -PassThru -RedirectStandardOutput $Log
  $null = $p.Handle
  for ($i = 0; $i -lt 40 -and -not (Test-Path $Log -PathType Leaf); $i++) { Start-Sleep -Milliseconds 250 }
  Start-Sleep -Milliseconds 500
  return $p
}

function Stop-VolumeWatch($Process, [string]$Log) {
  $Log = Join-Path (Get-Location) $Log
  New-Item -ItemType File -Force (Join-Path $env:RUNNER_TEMP 'watch-stop') | Out-Null
  if (-not $Process.WaitForExit(60000)) {
    Stop-Process -Id $Process.Id -Force
    "::warning::the volume watcher did not stop; ended it" | Out-Host
  }
  return @(Get-Content $Log -ErrorAction SilentlyContinue)
}

# Takes disk $Number offline at once, asking nothing of it first: a rescan
# or a partition query would have Windows read the written table and make
# a volume of it, which anything may mount and write to. Returns the line
# that says how it went; a failure is a warning, the compare still runs.
function Set-TheDiskOffline([int]$Number) {
  try {
    Set-Disk -Number $Number -IsOffline $true
    return "$(Get-Stamp) disk $Number taken offline"
  } catch {
    "::warning::disk $Number could not be taken offline: $($_.Exception.Message)" | Out-Host
    return "$(Get-Stamp) disk $Number could not be taken offline: $($_.Exception.Message)"
  }
}

# Runs $Exe with $Arguments, its output in logs\$Name.txt and, as it comes,
# in the step's log; ended after $Seconds, well inside the step's own limit,
# so that the step's finally still runs. Returns the exit code, or
# 'timed out'.
function Invoke-Logged([string]$Name, [string]$Exe, [string[]]$Arguments, [int]$Seconds) {
  $log = Join-Path (Get-Location) "logs\$Name.txt"
  $p = Start-Process (Resolve-Path $Exe).Path -ArgumentList $Arguments -NoNewWindow -PassThru `
    -RedirectStandardOutput $log
  $null = $p.Handle  # keeps the exit code readable after the wait
  $shown = 0
  $deadline = (Get-Date).AddSeconds($Seconds)
  do {
    $done = $p.WaitForExit(1000)
    $lines = @(Get-Content $log -ErrorAction SilentlyContinue)
    if ($lines.Count -gt $shown) { $lines[$shown..($lines.Count - 1)] | Out-Host; $shown = $lines.Count }
  } while (-not $done -and (Get-Date) -lt $deadline)
  if (-not $done) {
    Stop-Process -Id $p.Id -Force
    "::error::$Name did not end within $Seconds s; ended it" | Out-Host
    return 'timed out'
  }
  return $p.ExitCode
}

# What the driver saw at the end of a run: completed, or its failed step
# with the box or status it found (which carries the program's error code).
function Get-DriverOutcome([string]$Name, $Status, [string]$Done) {
  if ($Status -is [string]) { return "the driver did not run ($Status)" }
  if ($Status -eq 0) { return "completed: $Done" }
  $failed = @(Get-Content "logs\$Name.txt" -ErrorAction SilentlyContinue |
    Where-Object { $_ -match '^(FAIL|      )' })
  if ($failed.Count -eq 0) { return "did not complete (driver exit code $Status, no step failed in its log)" }
  return "did not complete (driver exit code $Status); the driver saw: " + ($failed -join ' / ')
}

# Runs the driver on a script with the job's numbers; its lines to the log
# and logs\$Name.txt. A screenshot it could not take becomes a warning.
function Invoke-Driver([string]$Name, [string]$Script, [string[]]$Sets) {
  [Console]::OutputEncoding = [System.Text.Encoding]::UTF8
  $arguments = @('--start', 'dist\tessavane.exe', '--capture', 'logs')
  foreach ($s in $Sets) { $arguments += '--set', $s }
  $arguments += $Script
  & .\dist\e2e_driver.exe @arguments | Tee-Object -FilePath "logs\$Name.txt" | Out-Host
  $status = $LASTEXITCODE
  Select-String -Path "logs\$Name.txt" -Pattern 'WARNING: (.*)$' | ForEach-Object {
    "::warning::$($_.Matches[0].Groups[1].Value)" | Out-Host
  }
  return $status
}
