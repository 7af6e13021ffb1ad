@echo off
rem Brings logs\orvexStatus.log up to date: one line per component.
"%~dp0orvexDemoComponent.exe" status alpha beta gamma > "%~dp0..\logs\orvexStatus.log"
