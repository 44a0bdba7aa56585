# shellcheck shell=bash
# Sourced by the Windows test scripts after scripts/test-env.sh's vintra_env_start: a fresh Wine
# prefix for this run (Windows 10, Tahoma), the Russian and English UTF-8 locales in a private
# folder (Wine takes its ANSI code page from the locale: ru_RU gives 1251, en_US 1252; the
# character type of a locale Windows keeps no ANSI code page for, hi_IN, gives UTF-8), and one
# wineserver kept for the whole run, stopped when the shell exits.
#   source scripts/test-env.sh; vintra_env_start; source scripts/windows/wine-env.sh; vintra_wine_start
# Exports WINEPREFIX, LOCPATH, WINEDEBUG and WINEDLLOVERRIDES.

vintra_wine_stop() {
  [[ -n ${WINEPREFIX:-} ]] && wineserver -k >/dev/null 2>&1
  vintra_env_stop
}

# vintra_env_dir comes from scripts/test-env.sh.
# shellcheck disable=SC2154
vintra_wine_start() {
  export WINEPREFIX="$vintra_env_dir/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  export LOCPATH="$vintra_env_dir/locale"
  mkdir -p "$LOCPATH"
  # localedef ends with 1 for mere warnings; the compiled locale is what counts.
  local locale
  for locale in ru_RU en_US hi_IN; do
    localedef -i "$locale" -f UTF-8 "$LOCPATH/$locale.UTF-8" 2>/dev/null || true
    [[ -e $LOCPATH/$locale.UTF-8/LC_CTYPE ]] || { echo "test-env: localedef made no $locale.UTF-8" >&2; return 1; }
  done
  # The prefix is made under the Russian locale, as a Russian Windows would be installed.
  export LC_ALL=ru_RU.UTF-8
  trap vintra_wine_stop EXIT
  local start=$SECONDS
  wineboot -i >"$vintra_env_dir/wineboot.log" 2>&1
  # Qt 6 needs Windows 10; Wine 8 finds the Tahoma of fonts-wine only in the prefix's own folder.
  wine reg add 'HKCU\Software\Wine' /v Version /d win10 /f >/dev/null 2>&1
  cp /usr/share/wine/fonts/tahoma.ttf /usr/share/wine/fonts/tahomabd.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
  # Wine's background services start with the first program; started here they do not hold the
  # output pipe of the first test open.
  # One persistent server for the whole run: the one the set-up started first has to go.
  wineserver -w
  wineserver -p
  wine cmd /c exit </dev/null >/dev/null 2>&1
  echo "test-env: Wine prefix ready in $((SECONDS - start)) s ($WINEPREFIX)" >&2
}
