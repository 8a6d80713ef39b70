# Usage: zsh -f zsh_complete.zsh DIR LINE. Loads the completion in DIR with compinit in
# an interactive zsh on a pseudo-terminal, presses TAB after LINE and prints what
# the completion offers, one candidate a line.
zmodload zsh/zpty
zpty z "zsh -f -i"
zpty -w z "fpath=($1 \$fpath); autoload -Uz compinit; compinit -u -d $1/.zcompdump"
zpty -w z 'bindkey "^I" complete-word; compprefuncs=(pre); comppostfuncs=(post)'
zpty -w z 'pre() { print -r -- "<""<" }; post() { print -r -- ">"">"; exit }'
zpty -w z 'compadd() { local -a hits; builtin compadd -A hits "$@"; print -rl -- $hits; builtin compadd "$@" }'
zpty -w -n z "$2"$'\t'
out=
while [[ $out != *'<<'*'>>'* ]] && zpty -r z chunk; do out+=$chunk; done
print -r -- "${${out#*<<}%%>>*}"
