# Completion for zamplet: options, a file name after -t, files after the patterns.
_zamplet() {
  local cur prev words cword
  _init_completion 2>/dev/null || { cur=${COMP_WORDS[COMP_CWORD]}; prev=${COMP_WORDS[COMP_CWORD-1]}; }
  if [[ $prev == -t || $prev == --files0-from ]]; then
    COMPREPLY=($(compgen -f -- "$cur"))
    return
  fi
  # A glob follows --exclude and --exclude-dir: nothing to complete.
  [[ $prev == --exclude || $prev == --exclude-dir ]] && return
  local i operands=0
  for ((i = 1; i < COMP_CWORD; i++)); do
    case ${COMP_WORDS[i]} in
      -t | --exclude | --exclude-dir | --files0-from)
        if ((operands == 0)); then ((i++)); else ((operands++)); fi ;;
      -*) ((operands == 0)) || ((operands++)) ;;
      *) ((operands++)) ;;
    esac
  done
  if ((operands == 0)) && [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W '-d -e -h -i -I -l -n -q -r -s -t -v -w --exclude-vcs --exclude=
      --exclude-dir= --skip-binary --diff --color --color= --whole --backrefs
      --exclude-vcs-ignores --files0-from= --help --version' -- "$cur"))
  elif ((operands >= 2)); then
    COMPREPLY=($(compgen -f -- "$cur"))
  fi
}
complete -o filenames -F _zamplet zamplet
