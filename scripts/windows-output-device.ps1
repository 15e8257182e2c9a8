# Disables or enables again the output device scripts/windows-audio-setup.ps1 installs,
# the Scream sound card, with its endpoints:
#   windows-output-device.ps1 -State Disabled|Enabled
# Exits with an error, and says why, where the system does not let it be done.
param(
  [Parameter(Mandatory = $true)][ValidateSet('Disabled', 'Enabled')][string]$State
)
$ErrorActionPreference = 'Stop'
$card = Get-PnpDevice -Class MEDIA -ErrorAction SilentlyContinue |
  Where-Object { $_.FriendlyName -like '*Scream*' }
if (-not $card) { throw 'no Scream sound card' }
if ($State -eq 'Disabled') {
  $card | Disable-PnpDevice -Confirm:$false
} else {
  $card | Enable-PnpDevice -Confirm:$false
}
Get-PnpDevice -InstanceId $card.InstanceId | Format-Table -AutoSize Status, FriendlyName |
  Out-String | Write-Output
