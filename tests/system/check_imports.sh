#!/bin/sh
# Fails unless every DLL that an executable imports is one that Windows
# itself ships. Usage: check_imports.sh OBJDUMP EXECUTABLE
set -u
objdump=$1
exe=$2

if ! dump=$("$objdump" -p "$exe"); then
  echo "cannot read the imports of $exe" >&2
  exit 1
fi

dlls=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p')
if [ -z "$dlls" ]; then
  echo "no import table found in $exe" >&2
  exit 1
fi

status=0
echo "DLLs imported by $exe:"
for dll in $dlls; do
  # Letter case means nothing to the loader.
  case $(printf '%s' "$dll" | tr '[:upper:]' '[:lower:]') in
    kernel32.dll | user32.dll | advapi32.dll | oleaut32.dll | msvcrt.dll | \
    api-ms-win-crt-*.dll)
      echo "  $dll"
      ;;
    *)
      echo "  $dll  <- not a DLL that Windows ships"
      status=1
      ;;
  esac
done
if [ $status -ne 0 ]; then
  echo "$exe needs a DLL that Windows does not ship; link it statically" >&2
fi
exit $status
