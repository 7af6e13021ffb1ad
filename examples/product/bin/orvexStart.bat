@echo off
rem Starts the product's components in the background and returns once they are launched.
for %%c in (alpha beta gamma) do start "" /b "%~dp0orvexDemoComponent.exe" run %%c
"%~dp0orvexDemoComponent.exe" wait alpha beta gamma
exit /b 0
