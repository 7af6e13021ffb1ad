@echo off
rem Stops every component of the product.
"%~dp0orvexDemoComponent.exe" stop alpha beta gamma
exit /b 0
