#!/bin/sh
# Fails unless every DLL that an executable imports is one that Windows
# itself ships, and unless the DLLs that are delay-loaded (user32, oleaut32)
# stay out of the eager import table, where the loader would map them at
# start-up. Usage: check_imports.sh OBJDUMP EXECUTABLE
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
    user32.dll | oleaut32.dll)
      echo "  $dll  <- imported eagerly; it is meant to be delay-loaded"
      status=1
      ;;
    kernel32.dll | advapi32.dll | msvcrt.dll | api-ms-win-crt-*.dll)
      echo "  $dll"
      ;;
    *)
      echo "  $dll  <- not a DLL that Windows ships"
      status=1
      ;;
  esac
done
# The delay-loaded DLLs are named, as plain strings, in the image.
for dll in user32.dll oleaut32.dll; do
  if ! grep -qai "$dll" "$exe"; then
    echo "  $dll  <- not named in the image at all: delay-loading is gone" >&2
    status=1
  fi
done
if [ $status -ne 0 ]; then
  echo "$exe: link only DLLs Windows ships, user32 and oleaut32 delay-loaded" >&2
fi
exit $status
